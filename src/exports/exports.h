// The exports, for the custom actions (src/msi), which make the very same calls: each
// traced as an installer's call would be, with GetLastFailure for a failed one's reason.
// (include/ulvane.h gives hosts their types; it is not included here, as a custom action
// shares a name with one of them.)
#pragma once

extern "C" {

int __stdcall UpdateCpf(const char* cpf_path);
int __stdcall GetCachePort(const char* configuration);
int __stdcall LoadRtn(const char* file_path, const char* host, const char* port, const char* name_space,
                      const char* routine);
const char* __stdcall Call(const char* host, const char* port, const char* name_space, const char* expression);
int __stdcall LoadFile(const char* host, const char* port, const char* file_path);
const char* __stdcall GetCacheConfig();
const char* __stdcall GetCacheDir(const char* configuration);
const char* __stdcall GetCacheCpf(const char* configuration);
const char* __stdcall GetLastFailure();

}  // extern "C"
