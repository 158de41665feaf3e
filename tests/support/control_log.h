// Lines of the stand-in control's call log that several suites expect.
#pragma once

namespace ulvane::test {

// A host making the control and taking its interfaces, up to IDispatch.
inline constexpr const char* kHostingLog =
    "create\n"
    "GetMiscStatus 1\n"
    "SetClientSite site\n"
    "QI IPersistStreamInit\n"
    "GetExtent 1\n"
    "InitNew\n"
    "QI IOleControl\n"
    "QI IDispatch\n";

// The library disconnecting the control and releasing it, as the log shows it.
inline constexpr const char* kReleaseLog =
    "put 25 MServer VT_BSTR null\n"
    "Close 1\n"
    "Unadvise IPropertyNotifySink 1\n"
    "Unadvise events 1\n"
    "SetClientSite null\n"
    "release\n";

}  // namespace ulvane::test
