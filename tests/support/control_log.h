// Lines of the stand-in control's call log that several suites expect.
#pragma once

namespace ulvane::test {

// The library disconnecting the control and releasing it, as the log shows it.
inline constexpr const char* kReleaseLog =
    "put 25 MServer VT_BSTR null\n"
    "Close 1\n"
    "Unadvise IPropertyNotifySink 1\n"
    "Unadvise events 1\n"
    "SetClientSite null\n"
    "release\n";

}  // namespace ulvane::test
