; The Ulvane example installer: installs the Ulvane web application on the
; InterSystems Cache server of this machine through Ulvane.dll and NSIS's System
; plug-in. Every step's result goes to the install log; a failed step aborts with
; a message and exit code 2.
;
;   makensis -DULVANE_DLL=/path/to/Ulvane.dll [-DOUTFILE=setup.exe] [-DTARGET=amd64-unicode] ulvane-example.nsi
;   setup.exe [/S] [/CONFIG=name] [/LOG=file] [/ULVANETRACE=file] [/D=install directory]
;
; /CONFIG picks the server configuration (default: the first listed), /LOG the
; install log (default: %TEMP%\UlvaneSetup.log), /D the web application's
; directory (default: the configuration's directory\CSP\ulv). /ULVANETRACE makes
; Ulvane.dll append a line per call to that file, arguments as given: for
; diagnosing a failed install only, as a trace can hold passwords.
; TARGET amd64-unicode makes a 64-bit installer, for the 64-bit Ulvane.dll.

!ifdef TARGET
  Target ${TARGET}
!endif
Unicode true
!if ${NSIS_PTR_SIZE} > 4
  !define BITS 64
!else
  !define BITS 32
!endif
!include LogicLib.nsh
!include FileFunc.nsh

!ifndef ULVANE_DLL
  !error "Define ULVANE_DLL, the built Ulvane.dll: makensis -DULVANE_DLL=/path/to/Ulvane.dll"
!endif
!ifndef OUTFILE
  !define OUTFILE "ulvane-example-setup.exe"
!endif
!define ROUTINES "${__FILEDIR__}/../routines"
!define WEB "${__FILEDIR__}/../web"

; The DLL is extracted to the plug-ins directory and always called by its full
; path: System then loads this file, and Sleep is Ulvane's, not kernel32's.
!define ULVANE "$PLUGINSDIR\Ulvane.dll"
; The outside control's class, which the server exports create.
!define CONTROL_CLSID "{88F75483-0574-11D0-8085-0000C0BD354B}"
; The installer runs on the database server's own machine.
!define HOST "127.0.0.1"
; How often to ask a server that does not answer yet, and how long to wait between.
!define ATTEMPTS 3
!define PAUSE_MS 1000

Name "Ulvane"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
ShowInstDetails show
Page instfiles

Var Log       ; the install log's handle
Var Config    ; the chosen server configuration
Var CacheDir  ; its installation directory
Var Cpf       ; its configuration file
Var Port      ; its server port

; A step's result, in the log and in the details view.
!macro Log text
  DetailPrint "${text}"
  FileWrite $Log "${text}$\r$\n"
!macroend
!define Log "!insertmacro Log"

; System keeps a DLL loaded after calling it, and the installer can then not
; delete its plug-ins directory when it ends. The DLL's last call, on every path,
; has the u option, which unloads it after the call.
!macro UnloadUlvane
  System::Call '${ULVANE}::Sleep(i 0) i ?u'
!macroend

; A failed step: the message goes to the log and (unless silent) a message box,
; the exit code becomes 2, and the install stops.
!macro Fail text
  ${Log} "FAILED: ${text}"
  FileClose $Log
  !insertmacro UnloadUlvane
  MessageBox MB_ICONSTOP "${text}" /SD IDOK
  SetErrorLevel 2
  Abort "${text}"
!macroend
!define Fail "!insertmacro Fail"

; The product's routines, each loaded into ULV under its file's name: one line
; per file in examples/routines (ulvinst.rtn, the install routine, aside).
!macro ForEachRoutine action
  !insertmacro ${action} ULVAPI
  !insertmacro ${action} ULVWEB
!macroend

!macro ExtractRoutine name
  File "${ROUTINES}/${name}.rtn"
!macroend

!macro LoadRoutine name
  StrCpy $1 "$INSTDIR\routines\${name}.rtn"
  StrCpy $2 "${HOST}"
  StrCpy $3 $Port
  StrCpy $4 "ULV"
  StrCpy $5 "${name}"
  System::Call '${ULVANE}::LoadRtn(m r1, m r2, m r3, m r4, m r5) i .r0'
  ${If} $0 <> 1
    ${Fail} "Could not load routine ${name} into ULV from $1 (LoadRtn returned $0)"
  ${EndIf}
  ${Log} "Loaded routine ${name} into ULV"
!macroend

; Checks that a routine was saved where it was meant to go, with one Call in
; that namespace. LoadRtn's 1 only says that the line was sent and the control
; raised no error; a namespace the server lacks runs the line in its default
; namespace instead, so the answer must name the namespace as well: it is
; "ULV:1" for ULVAPI in ULV (">0" because a server may give $D as 1, 10 or 11),
; and anything else (another namespace, 0, a failure message) means the routine
; is not there.
!macro CheckRoutine namespace name
  StrCpy $1 "${HOST}"
  StrCpy $2 $Port
  StrCpy $3 "${namespace}"
  StrCpy $4 '$$NAMESPACE_":"_($$D(^ROUTINE("${name}"))>0)'
  System::Call '${ULVANE}::Call(m r1, m r2, m r3, m r4) m .r0'
  ${If} $0 S!= "${namespace}:1"
    ${Fail} "Routine ${name} is not in ${namespace} after loading (the check answered $0, not ${namespace}:1)"
  ${EndIf}
  ${Log} "Checked: routine ${name} is in ${namespace}"
!macroend
!macro CheckProductRoutine name
  !insertmacro CheckRoutine ULV ${name}
!macroend

; In: $0 a text of lines separated by CR LF. Out: $1 the first line, $0 the rest.
Function SplitFirstLine
  StrCpy $2 0
  ${Do}
    StrCpy $3 $0 2 $2
    ${If} $3 == ""
      StrCpy $1 $0
      StrCpy $0 ""
      Return
    ${EndIf}
    ${If} $3 == "$\r$\n"
      StrCpy $1 $0 $2
      IntOp $2 $2 + 2
      StrCpy $0 $0 "" $2
      Return
    ${EndIf}
    IntOp $2 $2 + 1
  ${Loop}
FunctionEnd

; The configuration named by /CONFIG=, or else the first one listed.
Function ChooseConfiguration
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/CONFIG=" $R1
  ${If} ${Errors}
    StrCpy $R1 ""
  ${EndIf}
  System::Call '${ULVANE}::GetCacheConfig() m .r0'
  ; System answers "error" when it could not call the DLL at all: a DLL that does
  ; not load (the 64-bit one in a 32-bit installer, say) or lacks the export. The
  ; answer is then no list of configurations.
  ${If} $0 S== "error"
    ${Fail} "Cannot call Ulvane.dll: it did not load, or lacks GetCacheConfig (this ${BITS}-bit installer needs the ${BITS}-bit Ulvane.dll)"
  ${EndIf}
  ${If} $0 == ""
    ${Fail} "No InterSystems Cache configuration is installed on this machine (GetCacheConfig is empty)"
  ${EndIf}
  StrCpy $Config ""
  ${Do}
    Call SplitFirstLine
    ${Log} "Found configuration $1"
    ${If} $Config == ""
      ${If} $R1 == ""
      ${OrIf} $R1 == $1
        StrCpy $Config $1
      ${EndIf}
    ${EndIf}
  ${LoopUntil} $0 == ""
  ${If} $Config == ""
    ${Fail} "There is no configuration named $R1"
  ${EndIf}
  ${Log} "Configuration: $Config"
FunctionEnd

Function ReadConfiguration
  StrCpy $1 $Config
  System::Call '${ULVANE}::GetCacheDir(m r1) m .r0'
  ${If} $0 == ""
    ${Fail} "Configuration $Config has no installation directory (GetCacheDir is empty)"
  ${EndIf}
  StrCpy $CacheDir $0
  ${Log} "Directory: $CacheDir"

  System::Call '${ULVANE}::GetCacheCpf(m r1) m .r0'
  ${If} $0 == ""
    ${Fail} "Configuration $Config has no configuration file (GetCacheCpf is empty)"
  ${EndIf}
  StrCpy $Cpf $0
  ${Log} "Configuration file: $Cpf"

  System::Call '${ULVANE}::GetCachePort(m r1) i .r0'
  ${If} $0 < 1
    ${Fail} "No server port in $Cpf (GetCachePort returned $0)"
  ${EndIf}
  StrCpy $Port $0
  ${Log} "Port: $Port"
FunctionEnd

; Out: $R4 the file the control's class is registered with, or "" when it is not
; registered. The installer reads the registry view of its own architecture (the
; 32-bit one in an x86 build, the 64-bit one in amd64-unicode), as the DLL's
; CoCreateInstance does.
Function FindControl
  ReadRegStr $R4 HKCR "CLSID\${CONTROL_CLSID}\InprocServer32" ""
  ${If} $R4 == ""
    ReadRegStr $R4 HKCR "CLSID\${CONTROL_CLSID}\LocalServer32" ""
  ${EndIf}
FunctionEnd

; In: $R6 a namespace. Asks the server which namespace it runs a line in there,
; until it says $R6: a failed Call returns its message instead, and a server that
; is still starting, or still making a new namespace ready, gets a few chances.
Function WaitForNamespace
  StrCpy $R5 1
  ${Do}
    StrCpy $1 "${HOST}"
    StrCpy $2 $Port
    StrCpy $3 $R6
    StrCpy $4 "$$NAMESPACE"
    System::Call '${ULVANE}::Call(m r1, m r2, m r3, m r4) m .r0'
    ${If} $0 S== $R6
      ${ExitDo}
    ${EndIf}
    ; No server can answer through a control that is not there; waiting will not help.
    Call FindControl
    ${If} $R4 == ""
      ${Fail} "Cannot talk to the server: the control is not registered (class ${CONTROL_CLSID}); Call answered: $0"
    ${EndIf}
    ${If} $R5 >= ${ATTEMPTS}
      ${Fail} "The server at ${HOST} port $Port does not answer in namespace $R6: $0"
    ${EndIf}
    ${Log} "Waiting for namespace $R6 at ${HOST} port $Port (attempt $R5 of ${ATTEMPTS}): $0"
    IntOp $R5 $R5 + 1
    System::Call '${ULVANE}::Sleep(i ${PAUSE_MS}) i'
  ${Loop}
  ${Log} "The server answers in namespace $R6"
FunctionEnd

Function LogServerVersion
  StrCpy $1 "${HOST}"
  StrCpy $2 $Port
  StrCpy $3 "%SYS"
  StrCpy $4 "$$ZV"
  System::Call '${ULVANE}::Call(m r1, m r2, m r3, m r4) m .r0'
  ${Log} "Server: $0"
FunctionEnd

Function Register
  StrCpy $1 $Cpf
  System::Call '${ULVANE}::UpdateCpf(m r1) i .r0'
  ${If} $0 <> 1
    ${Fail} "Could not register namespace ULV and web application /csp/ulv in $Cpf (UpdateCpf returned $0)"
  ${EndIf}
  ${Log} "Registered namespace ULV and web application /csp/ulv in $Cpf"
FunctionEnd

Function LoadRoutines
  !insertmacro ForEachRoutine LoadRoutine
  StrCpy $1 "${HOST}"
  StrCpy $2 $Port
  StrCpy $3 "$INSTDIR\routines\ulvinst.rtn"
  System::Call '${ULVANE}::LoadFile(m r1, m r2, m r3) i .r0'
  ${If} $0 <> 1
    ${Fail} "Could not load the install routine from $3 (LoadFile returned $0)"
  ${EndIf}
  ${Log} "Loaded the install routine into %SYS"
FunctionEnd

Function CheckRoutines
  !insertmacro ForEachRoutine CheckProductRoutine
  !insertmacro CheckRoutine %SYS QUMAINST
FunctionEnd

Section "Ulvane web application"
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/LOG=" $R1
  ${If} ${Errors}
    StrCpy $R1 "$TEMP\UlvaneSetup.log"
  ${EndIf}
  FileOpen $Log $R1 w
  ${Log} "Ulvane example installer"
  ; The DLL reads ULVANE_TRACE from this process's environment on every call.
  ClearErrors
  ${GetOptions} $R0 "/ULVANETRACE=" $R2
  ${IfNot} ${Errors}
    System::Call 'kernel32::SetEnvironmentVariable(t "ULVANE_TRACE", t R2)'
    ${Log} "Tracing Ulvane.dll's calls to $R2"
  ${EndIf}

  InitPluginsDir
  File "/oname=${ULVANE}" "${ULVANE_DLL}"

  Call ChooseConfiguration
  Call ReadConfiguration
  ; Nothing is written before the server has answered.
  StrCpy $R6 "%SYS"
  Call WaitForNamespace
  Call LogServerVersion

  ${If} $INSTDIR == ""
    StrCpy $INSTDIR $CacheDir
    StrCpy $0 $INSTDIR 1 -1
    ${If} $0 == "\"
      StrCpy $INSTDIR $INSTDIR -1
    ${EndIf}
    StrCpy $INSTDIR "$INSTDIR\CSP\ulv"
  ${EndIf}
  SetOutPath $INSTDIR
  File "${WEB}/index.csp"
  SetOutPath "$INSTDIR\routines"
  !insertmacro ForEachRoutine ExtractRoutine
  File "${ROUTINES}/ulvinst.rtn"
  ${Log} "Installed the web application's files in $INSTDIR"

  Call Register
  ; The namespace just registered must be in service before routines go into it.
  StrCpy $R6 "ULV"
  Call WaitForNamespace
  Call LoadRoutines
  Call CheckRoutines
  !insertmacro UnloadUlvane
  ${Log} "Installed."
  FileClose $Log
SectionEnd
