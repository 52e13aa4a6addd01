// The exit statuses of the tool, after the conventional sysexits values
// where one fits.
#ifndef KESTREL_RUNTIME_EXIT_STATUS_H_
#define KESTREL_RUNTIME_EXIT_STATUS_H_

namespace kestrel {

constexpr int kStatusSuccess = 0;
constexpr int kStatusNoConsole = 1;
constexpr int kStatusUsage = 64;       // wrong arguments or serial number
constexpr int kStatusDataError = 65;   // the image is not what it must be
constexpr int kStatusNoInput = 66;     // the image cannot be opened
constexpr int kStatusCantCreate = 73;  // the output cannot be made whole
constexpr int kStatusUnhandled = 217;  // a fault or an unforeseen failure

}  // namespace kestrel

#endif  // KESTREL_RUNTIME_EXIT_STATUS_H_
