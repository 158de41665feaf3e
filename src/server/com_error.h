// Failure messages for what COM and the control report.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace ulvane::server {

// The system's message text for code, or "OLE error XXXXXXXX".
std::string code_message(HRESULT code);

// The message of a failed invoke. When the control raised an exception
// (DISP_E_EXCEPTION, the record already filled in): its description, else the
// message of its scode, else "IDispatch error #N" for its wCode N, else the message
// of DISP_E_EXCEPTION. Otherwise the message of the result code.
std::string invoke_message(HRESULT result, const EXCEPINFO& exception);

}  // namespace ulvane::server
