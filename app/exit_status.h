// The exit statuses of a run (the values of sysexits.h), documented for
// operators in the README and the manual page. A run without "/SETUP" ends
// with the most serious status of its passes; "/SETUP" ends with 0.
#pragma once

namespace zvexit {

constexpr int kOk = 0;             // every pass completed (also "No messages to send")
constexpr int kUsage = 64;         // an unknown "--" option; started where no instance can be
constexpr int kCannotCreate = 73;  // IN or OUT cannot be used, a pair sent cannot be removed
constexpr int kTemporary = 75;     // worth retrying: look-up, connect, time-out, TLS, dropped
                                   // connection, server error, a failed dial, another run of
                                   // the instance
constexpr int kNoPermission = 77;  // a password was refused
constexpr int kConfig = 78;        // the configuration is incomplete or invalid

}  // namespace zvexit
