; Ulvane.dll for NSIS 3 installers, through the System plug-in: an x86-unicode
; installer ships the 32-bit Ulvane.dll, an amd64-unicode one the 64-bit twin.
;
;   !include "Ulvane.nsh"             ; after !define ULVANE "path" to call it elsewhere
;   InitPluginsDir
;   File "/oname=${ULVANE}" "path\to\Ulvane.dll"
;   ${Ulvane_LoadFailure} $0          ; "" when the DLL loaded
;   ${Ulvane_GetCacheConfig} $0
;   ${Ulvane_GetLastFailure} $1       ; why the call before failed, or ""
;   ${Ulvane_Unload}                  ; the DLL's last call, on every path
;
; Each export has a macro of its own name: its arguments in the export's order
; (texts; Sleep's a number) and, last, the variable that receives the result.
; Arguments go through the stack, so a text may hold quotes and "$" (written $$ in a
; script) without escaping, and no register is changed but the result's.

!ifndef ULVANE_NSH_INCLUDED
!define ULVANE_NSH_INCLUDED

; The DLL is always called by its full path: System then loads this file, and Sleep
; is Ulvane's, not kernel32's.
!ifndef ULVANE
  !define ULVANE "$PLUGINSDIR\Ulvane.dll"
!endif
!if ${NSIS_PTR_SIZE} > 4
  !define ULVANE_BITS 64
!else
  !define ULVANE_BITS 32
!endif

; Facts of the library's C header (ulvane.h), by the same names: the trace's
; environment variables, and the class id of the control the server calls create,
; whose registration an installer can check under HKCR\CLSID\${ULVANE_CONTROL_CLASS_ID}.
!define ULVANE_TRACE_VARIABLE "ULVANE_TRACE"
!define ULVANE_TRACE_ARGS_VARIABLE "ULVANE_TRACE_ARGS"
!define ULVANE_CONTROL_CLASS_ID "{88F75483-0574-11D0-8085-0000C0BD354B}"

; System pops the arguments a call takes from the stack first one first, so they are
; pushed last one first. Texts cross as ANSI (m), whatever the installer's own strings.

!macro Ulvane_UpdateCpf cpf_path out
  Push `${cpf_path}`
  System::Call '${ULVANE}::UpdateCpf(m s) i .s'
  Pop ${out}
!macroend
!define Ulvane_UpdateCpf "!insertmacro Ulvane_UpdateCpf"

!macro Ulvane_GetCachePort config out
  Push `${config}`
  System::Call '${ULVANE}::GetCachePort(m s) i .s'
  Pop ${out}
!macroend
!define Ulvane_GetCachePort "!insertmacro Ulvane_GetCachePort"

!macro Ulvane_GetCacheCpf config out
  Push `${config}`
  System::Call '${ULVANE}::GetCacheCpf(m s) m .s'
  Pop ${out}
!macroend
!define Ulvane_GetCacheCpf "!insertmacro Ulvane_GetCacheCpf"

!macro Ulvane_GetCacheDir config out
  Push `${config}`
  System::Call '${ULVANE}::GetCacheDir(m s) m .s'
  Pop ${out}
!macroend
!define Ulvane_GetCacheDir "!insertmacro Ulvane_GetCacheDir"

!macro Ulvane_LoadRtn file_path host port namespace routine out
  Push `${routine}`
  Push `${namespace}`
  Push `${port}`
  Push `${host}`
  Push `${file_path}`
  System::Call '${ULVANE}::LoadRtn(m s, m s, m s, m s, m s) i .s'
  Pop ${out}
!macroend
!define Ulvane_LoadRtn "!insertmacro Ulvane_LoadRtn"

!macro Ulvane_Sleep milliseconds
  System::Call '${ULVANE}::Sleep(i ${milliseconds}) i'
!macroend
!define Ulvane_Sleep "!insertmacro Ulvane_Sleep"

!macro Ulvane_GetCacheConfig out
  System::Call '${ULVANE}::GetCacheConfig() m .s'
  Pop ${out}
!macroend
!define Ulvane_GetCacheConfig "!insertmacro Ulvane_GetCacheConfig"

!macro Ulvane_Call host port namespace expression out
  Push `${expression}`
  Push `${namespace}`
  Push `${port}`
  Push `${host}`
  System::Call '${ULVANE}::Call(m s, m s, m s, m s) m .s'
  Pop ${out}
!macroend
!define Ulvane_Call "!insertmacro Ulvane_Call"

!macro Ulvane_LoadFile host port file_path out
  Push `${file_path}`
  Push `${port}`
  Push `${host}`
  System::Call '${ULVANE}::LoadFile(m s, m s, m s) i .s'
  Pop ${out}
!macroend
!define Ulvane_LoadFile "!insertmacro Ulvane_LoadFile"

; Why this thread's last call of another export failed, or "" when it did not.
!macro Ulvane_GetLastFailure out
  System::Call '${ULVANE}::GetLastFailure() m .s'
  Pop ${out}
!macroend
!define Ulvane_GetLastFailure "!insertmacro Ulvane_GetLastFailure"

; "" when the DLL loaded and has its exports, else the reason. System answers "error"
; for a DLL it cannot call at all (the 64-bit DLL in a 32-bit installer, say), where
; a result would be; GetLastFailure, the export added last, never answers that.
!macro Ulvane_LoadFailure out
  System::Call '${ULVANE}::GetLastFailure() m .s'
  Pop ${out}
  StrCmpS ${out} "error" 0 +3
  StrCpy ${out} "Cannot call Ulvane.dll: it did not load, or lacks GetLastFailure (this ${ULVANE_BITS}-bit installer needs the ${ULVANE_BITS}-bit Ulvane.dll)"
  Goto +2
  StrCpy ${out} ""
!macroend
!define Ulvane_LoadFailure "!insertmacro Ulvane_LoadFailure"

; System keeps a DLL loaded once it has called it, and the installer can then not
; delete its plug-ins directory when it ends: the u option unloads it after this call.
!macro Ulvane_Unload
  System::Call '${ULVANE}::Sleep(i 0) i ?u'
!macroend
!define Ulvane_Unload "!insertmacro Ulvane_Unload"

!endif
