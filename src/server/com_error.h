// Failure messages for what COM and the control report.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace ulvane::server {

// The system's message text for code, or "OLE error XXXXXXXX".
std::string code_message(HRESULT code);

// The message of a failed invoke: the exception's description when the control
// raised one (DISP_E_EXCEPTION, with the record already filled in), else the
// message of the result code.
std::string invoke_message(HRESULT result, const EXCEPINFO& exception);

}  // namespace ulvane::server
