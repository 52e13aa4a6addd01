#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "e2e/images.h"
#include "e2e/terminal.h"
#include "e2e/tool_run.h"

namespace kestrel::e2e {
namespace {

class BinPatch : public ::testing::Test {
 protected:
  Finished Run(const std::string& image_name, const std::string& serial) {
    return RunToEnd({image_name, serial}, dir_.path());
  }
  ScratchDirectory dir_;
};

// What `command` printed, its last line end dropped; empty when it failed.
std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    if (::pclose(pipe) != 0) out.clear();
  }
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// A child that does `work` over and over, or once and then waits, until
// it is ended.
pid_t Busy(void (*work)(const char*), const std::string& path) {
  pid_t child = ::fork();
  if (child == 0) {
    for (;;) work(path.c_str());
  }
  return child;
}

void End(pid_t child) {
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

TEST_F(BinPatch, OnlyBytesFourToSevenChangeWhateverTheLength) {
  // Block edges too: one block of 64 KiB, and one byte more.
  for (std::size_t size : {8u, 9u, 16u, 20u, 1000u, 1024u, 65536u, 65537u}) {
    std::string image = SomeBytes(size);
    dir_.Write("board.bin", image);
    Finished run = Run("board.bin", "001.234.567");
    EXPECT_EQ(run.screen, SuccessBlock("kestrel.bin")) << size;
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(dir_.Read("kestrel.bin"), Stamped(image, 1234567)) << size;
    EXPECT_EQ(dir_.Read("board.bin"), image);
  }
}

TEST_F(BinPatch, WritesTheSerialMostSignificantByteFirst) {
  struct Case {
    std::string text;
    std::string bytes;
  };
  for (const Case& c :
       {Case{"001.234.567", std::string("\x00\x12\xD6\x87", 4)},
        Case{"123456789", "\x07\x5B\xCD\x15"},
        Case{"-12345678", "\xFF\x43\x9E\xB2"},
        Case{"$80000000", std::string("\x80\x00\x00\x00", 4)}}) {
    dir_.Write("board.bin", std::string(12, 'a'));
    EXPECT_EQ(Run("board.bin", c.text).status, 0);
    EXPECT_EQ(dir_.Read("kestrel.bin"), "aaaa" + c.bytes + "aaaa") << c.text;
  }
}

TEST_F(BinPatch, AnImageBelowEightBytesLeavesNoOutput) {
  for (std::size_t size : {0u, 7u}) {
    dir_.Write("IMAGE.Bin", SomeBytes(size));
    Finished run = Run("IMAGE.Bin", "123456789");
    EXPECT_EQ(run.screen, ErrorBlock("Unexpected end of IMAGE.Bin file"));
    EXPECT_EQ(run.status, 65);
    EXPECT_FALSE(dir_.Exists("kestrel.bin"));
  }
}

TEST_F(BinPatch, ALongerEarlierOutputIsEmptiedFirst) {
  dir_.Write("kestrel.bin", SomeBytes(100, 7));
  dir_.Write("board.bin", SomeBytes(10));
  EXPECT_EQ(Run("board.bin", "123456789").status, 0);
  EXPECT_EQ(dir_.Read("kestrel.bin"), Stamped(SomeBytes(10), 123456789));
}

TEST_F(BinPatch, ARejectedSerialNumberLeavesAnEarlierOutputAlone) {
  dir_.Write("board.bin", SomeBytes(16));
  dir_.Write("kestrel.bin", "earlier");
  Finished length = Run("board.bin", "12.345.678");
  EXPECT_EQ(length.screen, LengthBlock());
  EXPECT_EQ(length.status, 64);
  Finished nan = Run("board.bin", "12345678x");
  EXPECT_EQ(nan.screen, NotANumberBlock("12345678x"));
  EXPECT_EQ(nan.status, 64);
  EXPECT_EQ(dir_.Read("kestrel.bin"), "earlier");
}

TEST_F(BinPatch,
       ImagesThatCannotBeOpenedForReadingAndWritingGiveTheInputBlock) {
  EXPECT_EQ(Run("missing.bin", "x").screen,
            ErrorBlock("Can't find file missing.bin"));

  dir_.Write("board.bin", SomeBytes(16));
  ::chmod(dir_.File("board.bin").c_str(), 0444);
  Finished protected_run = Run("board.bin", "123456789");
  EXPECT_EQ(protected_run.screen, ErrorBlock("Can't find file board.bin"));
  EXPECT_EQ(protected_run.status, 66);
  EXPECT_FALSE(dir_.Exists("kestrel.bin"));

  std::filesystem::create_directory(dir_.File("folder.bin"));
  EXPECT_EQ(Run("folder.bin", "123456789").status, 66);

  std::string long_name(300, 'n');
  long_name += ".bin";
  EXPECT_EQ(Run(long_name, "123456789").screen,
            Wrapped(ErrorBlock("Can't find file " + long_name)));
}

TEST_F(BinPatch, AnOutputThatCannotBeWrittenGivesTheOutputBlock) {
  std::string image = SomeBytes(24);
  dir_.Write("kestrel.bin", image);
  Finished itself = Run("kestrel.bin", "123456789");
  EXPECT_EQ(itself.screen, ErrorBlock("Can't create file kestrel.bin"));
  EXPECT_EQ(itself.status, 73);
  EXPECT_EQ(dir_.Read("kestrel.bin"), image);

  dir_.Write("board.bin", image);
  ::chmod(dir_.File("kestrel.bin").c_str(), 0444);
  EXPECT_EQ(Run("board.bin", "123456789").status, 73);
  EXPECT_EQ(dir_.Read("kestrel.bin"), image);
  std::filesystem::remove(dir_.File("kestrel.bin"));

  std::filesystem::create_symlink("/dev/full", dir_.File("kestrel.bin"));
  Finished full = Run("board.bin", "123456789");
  EXPECT_EQ(full.screen, ErrorBlock("Can't create file kestrel.bin"));
  EXPECT_EQ(full.status, 73);
}

TEST_F(BinPatch, OnlyAFileCanBeAnImageThoughADeviceMayTakeTheOutput) {
  SKIP_UNDER_WINE("a FIFO or a Linux device is no Windows device");
  dir_.Write("board.bin", SomeBytes(16));
  ::mkfifo(dir_.File("fifo.bin").c_str(), 0644);
  std::filesystem::create_symlink("/dev/zero", dir_.File("zero.bin"));
  // A writer waiting on the FIFO must go on waiting: the tool never opens it.
  pid_t writer = Busy([](const char* fifo) { ::_exit(::open(fifo, O_WRONLY)); },
                      dir_.File("fifo.bin"));
  ::usleep(50000);
  for (const char* name : {"fifo.bin", "zero.bin"}) {
    EXPECT_EQ(Run(name, "123456789").screen,
              ErrorBlock(std::string("Can't find file ") + name));
  }
  EXPECT_EQ(::waitpid(writer, nullptr, WNOHANG), 0) << "the writer went on";
  End(writer);
  ::mkfifo(dir_.File("kestrel.bin").c_str(), 0644);
  Finished fifo = Run("board.bin", "123456789");
  EXPECT_EQ(fifo.screen, ErrorBlock("Can't create file kestrel.bin"));
  EXPECT_EQ(fifo.status, 73);
  std::filesystem::remove(dir_.File("kestrel.bin"));
  std::filesystem::create_symlink("/dev/null", dir_.File("kestrel.bin"));
  EXPECT_EQ(Run("board.bin", "123456789").status, 0);
}

TEST_F(BinPatch, AnOutputHeldByAnotherProgramIsLeftAlone) {
  SKIP_UNDER_WINE("a Linux lock taken by the test is invisible to wine");
  dir_.Write("board.bin", SomeBytes(16));
  dir_.Write("kestrel.bin", "held");
  {
    HeldOpen held(dir_.File("kestrel.bin"));
    EXPECT_EQ(Run("board.bin", "123456789").screen,
              ErrorBlock("Can't create file kestrel.bin"));
  }
  // Another run's hold on the place, as an open file description holds it.
  dir_.Write(".kestrel.bin.lock", "");
  int run = ::open(dir_.File(".kestrel.bin.lock").c_str(), O_RDWR);
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  ASSERT_EQ(::fcntl(run, F_OFD_SETLK, &whole), 0);
  EXPECT_EQ(Run("board.bin", "123456789").status, 73);
  ::close(run);
  EXPECT_EQ(dir_.Read("kestrel.bin"), "held");
}

// The target is replaced, never emptied in place: another name of it keeps
// its data, and the new copy keeps its mode.
TEST_F(BinPatch, ALinksTargetIsReplacedAndItsOtherNamesKeepTheirData) {
  SKIP_UNDER_WINE("Linux's links and modes");
  std::string image = SomeBytes(16);
  dir_.Write("board.bin", image);
  std::filesystem::create_directory(dir_.File("flash"));
  dir_.Write("flash/current.bin", "week 12");
  ::chmod(dir_.File("flash/current.bin").c_str(), 0640);
  std::filesystem::create_hard_link(dir_.File("flash/current.bin"),
                                    dir_.File("flash/week12.bin"));
  std::filesystem::create_symlink("flash/current.bin",
                                  dir_.File("kestrel.bin"));
  EXPECT_EQ(Run("board.bin", "123456789").status, 0);
  EXPECT_TRUE(dir_.Read("kestrel.bin") == Stamped(image, 123456789));
  EXPECT_EQ(dir_.Read("flash/week12.bin"), "week 12");
  struct stat made;
  ASSERT_EQ(::stat(dir_.File("flash/current.bin").c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 0777, 0640u);
}

TEST_F(BinPatch, OtherProgramsOpeningTheImageNeverKillAStamp) {
  SKIP_UNDER_WINE("leases are Linux's");
  dir_.Write("board.bin", SomeBytes(64));
  pid_t opener =
      Busy([](const char* image) { ::close(::open(image, O_RDONLY)); },
           dir_.File("board.bin"));
  for (int i = 0; i < 60; ++i) {
    int status = Run("board.bin", "123456789").status;
    EXPECT_TRUE(status == 0 || status == 66) << status;
  }
  End(opener);
}

// Root's own: a loop device, a FUSE mount, a link of another user.
TEST_F(BinPatch,
       TheCopyIsNeverADiskNorAPlantedLinkNorTheImageSpelledOtherwise) {
  SKIP_UNDER_WINE("Linux's devices, owners and mounts");
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  std::string image = SomeBytes(4096, 3);
  dir_.Write("board.bin", image);
  dir_.Write("disk.img", std::string(8 << 20, '\0'));
  std::string loop = Shell("losetup -f --show " + dir_.File("disk.img"));
  if (loop.empty()) GTEST_SKIP() << "no loop device";
  std::filesystem::create_symlink(loop, dir_.File("kestrel.bin"));
  EXPECT_EQ(Run("board.bin", "123456789").status, 73);

  // A USB stick's exFAT: "Kestrel.Bin" is "kestrel.bin".
  std::filesystem::create_directory(dir_.File("stick"));
  if (Shell("mkfs.exfat " + loop + " >/dev/null && mount.exfat-fuse " + loop +
            " " + dir_.File("stick") + " && echo mounted") == "mounted") {
    std::string stick = dir_.File("stick/\xC3\xBC");  // ü
    std::filesystem::create_directory(stick);
    std::ofstream(stick + "/Kestrel.Bin") << image;
    std::filesystem::create_directory(dir_.File("again"));
    Shell("mount --bind " + dir_.File("stick") + " " + dir_.File("again"));
    // Named in place, through another mount of the volume, through another
    // spelling of its folder, and in place with no /proc to ask.
    struct Reach {
      std::string name;
      bool blind;
    };
    for (const Reach& reach :
         {Reach{"Kestrel.Bin", false},
          Reach{dir_.File("again/\xC3\xBC/KESTREL.BIN"), false},
          Reach{"../\xC3\x9C/Kestrel.Bin", false},
          Reach{"Kestrel.Bin", true}}) {
      pid_t run = ::fork();
      if (run == 0) {
        if (reach.blind && (::unshare(CLONE_NEWNS) != 0 ||
                            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE,
                                    nullptr) != 0 ||
                            ::umount2("/proc", MNT_DETACH) != 0)) {
          ::_exit(1);
        }
        ::_exit(RunToEnd({reach.name, "123456789"}, stick).status);
      }
      int status = 0;
      ::waitpid(run, &status, 0);
      EXPECT_EQ(WEXITSTATUS(status), 73) << reach.name << reach.blind;
      EXPECT_TRUE(ReadFile(stick + "/Kestrel.Bin") == image) << reach.name;
    }
    // Another run's lock, seen through another spelling of the folder.
    int held =
        ::open((stick + "/.kestrel.bin.lock").c_str(), O_RDWR | O_CREAT, 0666);
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    ::fcntl(held, F_OFD_SETLK, &whole);
    std::ofstream(stick + "/b.bin") << image;
    EXPECT_EQ(
        RunToEnd({"b.bin", "123456789"}, dir_.File("stick/\xC3\x9C")).status,
        73);
    ::close(held);
    Shell("umount " + dir_.File("again"));
  } else {
    ADD_FAILURE() << "exFAT through FUSE could not be mounted";
  }
  Shell("umount " + dir_.File("stick") + "; losetup -d " + loop);

  // In a sticky folder anyone may write to, another user's link is no way.
  std::filesystem::remove(dir_.File("kestrel.bin"));
  dir_.Write("victim.conf", "root's");
  std::filesystem::create_symlink(dir_.File("victim.conf"),
                                  dir_.File("kestrel.bin"));
  ::chmod(dir_.path().c_str(), 01777);
  ::lchown(dir_.File("kestrel.bin").c_str(), 65534, 65534);
  EXPECT_EQ(Run("board.bin", "123456789").status, 73);
  EXPECT_EQ(dir_.Read("victim.conf"), "root's");
  ::lchown(dir_.File("kestrel.bin").c_str(), 0, 0);
  EXPECT_EQ(Run("board.bin", "123456789").status, 0) << "root's own link";
}

// Wine calls every volume NTFS: an exFAT stick, which gives no file a
// second name, still has the copy put in place, and nothing else.
TEST_F(BinPatch, UnderWineAStickWithoutHardLinksIsStamped) {
  if (!UnderWine() || ::geteuid() != 0) GTEST_SKIP() << "wine, as root";
  dir_.Write("disk.img", std::string(8 << 20, '\0'));
  std::string loop = Shell("losetup -f --show " + dir_.File("disk.img"));
  std::string stick = dir_.File("stick");
  EXPECT_EQ(Shell("mkdir " + stick + " && mkfs.exfat " + loop +
                  " >/dev/null && mount.exfat-fuse " + loop + " " + stick +
                  " && echo mounted"),
            "mounted");
  std::ofstream(stick + "/board.bin") << SomeBytes(4096, 3) << std::flush;
  EXPECT_EQ(RunToEnd({"board.bin", "123456789"}, stick).status, 0);
  EXPECT_EQ(ReadFile(stick + "/kestrel.bin").size(), 4096u);
  EXPECT_EQ(Shell("ls -A " + stick), "board.bin\nkestrel.bin");
  Shell("umount " + stick + "; losetup -d " + loop);
}

TEST_F(BinPatch, ALargeImageStreamsInTheSameMemoryAsASmallOne) {
#ifdef KESTREL_SANITIZED
  GTEST_SKIP() << "the address sanitizer's quarantine keeps freed memory "
                  "resident";
#endif
  std::string large = SomeBytes(4u << 20, 3);
  dir_.Write("small.bin", SomeBytes(1024));
  dir_.Write("large.bin", large);
  RunOptions measured;
  measured.peak_file = dir_.File("peak.txt");
  Finished small = RunToEnd({"small.bin", "123456789"}, dir_.path(), measured);
  Finished big = RunToEnd({"large.bin", "123456789"}, dir_.path(), measured);
  EXPECT_EQ(big.screen, SuccessBlock("kestrel.bin"));
  EXPECT_TRUE(dir_.Read("kestrel.bin") == Stamped(large, 123456789));
  std::printf("peak memory: %ld KiB for 1 KiB, %ld KiB for 4 MiB\n",
              small.peak_kib, big.peak_kib);
  EXPECT_LE(big.peak_kib, small.peak_kib + kMemorySlackKib)
      << "peak memory " << small.peak_kib << " KiB for 1 KiB, " << big.peak_kib
      << " KiB for 4 MiB";
}

}  // namespace
}  // namespace kestrel::e2e
