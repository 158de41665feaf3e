; The Ulvane example installer: installs the Ulvane web application on the
; InterSystems Cache server of this machine through Ulvane.dll and its NSIS binding
; (include/nsis/Ulvane.nsh). Every step's result goes to the install log; a failed
; step aborts with a message that says why, and exit code 2.
;
;   makensis -NOCD -DULVANE_DLL=path/to/Ulvane.dll [-DOUTFILE=setup.exe] [-DTARGET=amd64-unicode] path/to/ulvane-example.nsi
;   setup.exe [/S] [/CONFIG=name] [/LOG=file] [/ULVANETRACE=file] [/D=install directory]
;
; makensis works in the script's folder unless given -NOCD: relative paths (the DLL,
; OUTFILE, this script's) are then taken from the folder makensis is run in, and the
; installer is written there unless OUTFILE names another place.
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
; This script's folder: makensis gives it as typed (relative to where it was run)
; but reads relative paths from the script's folder unless given -NOCD.
!if /FileExists "${__FILEDIR__}/${__FILE__}"
  !define HERE "${__FILEDIR__}"
!else
  !define HERE "."
!endif
!include LogicLib.nsh
!include FileFunc.nsh
!include "${HERE}/../../include/nsis/Ulvane.nsh"

!ifndef ULVANE_DLL
  !error "Define ULVANE_DLL, the built Ulvane.dll: makensis -NOCD -DULVANE_DLL=path/to/Ulvane.dll"
!endif
!if ! /FileExists "${ULVANE_DLL}"
  !error "There is no ${ULVANE_DLL}: a relative path is taken from the script's folder, or with -NOCD from the current one"
!endif
!ifndef OUTFILE
  !define OUTFILE "ulvane-example-setup.exe"
!endif
!define ROUTINES "${HERE}/../routines"
!define WEB "${HERE}/../web"

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

; A failed step: the message goes to the log and (unless silent) a message box,
; the exit code becomes 2, and the install stops. The DLL is unloaded first, so
; that the installer can delete its plug-ins directory.
!macro Fail text
  ${Log} "FAILED: ${text}"
  FileClose $Log
  ${Ulvane_Unload}
  MessageBox MB_ICONSTOP "${text}" /SD IDOK
  SetErrorLevel 2
  Abort "${text}"
!macroend
!define Fail "!insertmacro Fail"

; Out: $R9, why the last call failed in the DLL's own words, or else otherwise (what
; the call gave, for a call that did not fail but did not give what the step needs).
!macro Why otherwise
  ${Ulvane_GetLastFailure} $R9
  ${If} $R9 == ""
    StrCpy $R9 "${otherwise}"
  ${EndIf}
!macroend
!define Why "!insertmacro Why"

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
  ${Ulvane_LoadRtn} "$INSTDIR\routines\${name}.rtn" "${HOST}" $Port "ULV" "${name}" $0
  ${If} $0 <> 1
    ${Why} "LoadRtn returned $0"
    ${Fail} "Could not load routine ${name} into ULV from $INSTDIR\routines\${name}.rtn: $R9"
  ${EndIf}
  ${Log} "Loaded routine ${name} into ULV"
!macroend

; Checks that a routine was saved where it was meant to go, with one Call in
; that namespace. LoadRtn's 1 only says that the line was sent and the control
; raised no error; a namespace the server lacks runs the line in its default
; namespace instead, so the answer must name the namespace as well: it is
; "ULV:1" for ULVAPI in ULV (">0" because a server may give $D as 1, 10 or 11),
; and anything else (another namespace, 0, a failed call) means the routine
; is not there.
!macro CheckRoutine namespace name
  ${Ulvane_Call} "${HOST}" $Port "${namespace}" '$$NAMESPACE_":"_($$D(^ROUTINE("${name}"))>0)' $0
  ${If} $0 S!= "${namespace}:1"
    ${Why} "the check answered $0, not ${namespace}:1"
    ${Fail} "Routine ${name} is not in ${namespace} after loading: $R9"
  ${EndIf}
  ${Log} "Checked: routine ${name} is in ${namespace}"
!macroend
!macro CheckProductRoutine name
  !insertmacro CheckRoutine ULV ${name}
!macroend

; The install's steps; each function below is one of them.
Section "Ulvane web application"
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/LOG=" $R1
  ${If} ${Errors}
    StrCpy $R1 "$TEMP\UlvaneSetup.log"
  ${EndIf}
  FileOpen $Log $R1 w
  ${Log} "Ulvane example installer"
  ; The DLL reads its trace variable from this process's environment on every call.
  ClearErrors
  ${GetOptions} $R0 "/ULVANETRACE=" $R2
  ${IfNot} ${Errors}
    System::Call 'kernel32::SetEnvironmentVariable(t "${ULVANE_TRACE_VARIABLE}", t R2)'
    ${Log} "Tracing Ulvane.dll's calls to $R2"
  ${EndIf}

  InitPluginsDir
  File "/oname=${ULVANE}" "${ULVANE_DLL}"
  ; A DLL that does not load (the 64-bit one in a 32-bit installer, say) would
  ; otherwise answer every call with System's "error".
  ${Ulvane_LoadFailure} $0
  ${If} $0 != ""
    ${Fail} $0
  ${EndIf}

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
  ${Ulvane_Unload}
  ${Log} "Installed."
  FileClose $Log
SectionEnd

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
  ${Ulvane_GetCacheConfig} $0
  ${If} $0 == ""
    ${Why} "GetCacheConfig is empty"
    ${Fail} "No InterSystems Cache configuration is installed on this machine: $R9"
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

; UpdateCpf given a file that is not there makes a new one, which registers nothing
; with the server: the file must be there before the port is read from it and before
; the product is registered in it.
Function RequireConfigurationFile
  ${IfNot} ${FileExists} $Cpf
    ${Fail} "The configuration file $Cpf of configuration $Config does not exist"
  ${EndIf}
FunctionEnd

Function ReadConfiguration
  ${Ulvane_GetCacheDir} $Config $0
  ${If} $0 == ""
    ${Why} "GetCacheDir is empty"
    ${Fail} "Configuration $Config has no installation directory: $R9"
  ${EndIf}
  StrCpy $CacheDir $0
  ${Log} "Directory: $CacheDir"

  ${Ulvane_GetCacheCpf} $Config $0
  ${If} $0 == ""
    ${Why} "GetCacheCpf is empty"
    ${Fail} "Configuration $Config has no configuration file: $R9"
  ${EndIf}
  StrCpy $Cpf $0
  ${Log} "Configuration file: $Cpf"
  Call RequireConfigurationFile

  ${Ulvane_GetCachePort} $Config $0
  ${If} $0 < 1
    ${Why} "GetCachePort returned $0"
    ${Fail} "No server port in $Cpf: $R9"
  ${EndIf}
  StrCpy $Port $0
  ${Log} "Port: $Port"
FunctionEnd

; Out: $R4 the file the control's class is registered with, or "" when it is not
; registered. The installer reads the registry view of its own architecture (the
; 32-bit one in an x86 build, the 64-bit one in amd64-unicode), as the DLL's
; CoCreateInstance does.
Function FindControl
  ReadRegStr $R4 HKCR "CLSID\${ULVANE_CONTROL_CLASS_ID}\InprocServer32" ""
  ${If} $R4 == ""
    ReadRegStr $R4 HKCR "CLSID\${ULVANE_CONTROL_CLASS_ID}\LocalServer32" ""
  ${EndIf}
FunctionEnd

; In: $R6 a namespace. Asks the server which namespace it runs a line in there,
; until it says $R6: a server that is still starting, or still making a new
; namespace ready, gets a few chances.
Function WaitForNamespace
  StrCpy $R5 1
  ${Do}
    ${Ulvane_Call} "${HOST}" $Port $R6 "$$NAMESPACE" $0
    ${If} $0 S== $R6
      ${ExitDo}
    ${EndIf}
    ${Why} "it answered $0"
    ; No server can answer through a control that is not there; waiting will not help.
    Call FindControl
    ${If} $R4 == ""
      ${Fail} "Cannot talk to the server: the control is not registered (class ${ULVANE_CONTROL_CLASS_ID}); Call failed: $R9"
    ${EndIf}
    ${If} $R5 >= ${ATTEMPTS}
      ${Fail} "The server at ${HOST} port $Port does not answer in namespace $R6: $R9"
    ${EndIf}
    ${Log} "Waiting for namespace $R6 at ${HOST} port $Port (attempt $R5 of ${ATTEMPTS}): $R9"
    IntOp $R5 $R5 + 1
    ${Ulvane_Sleep} ${PAUSE_MS}
  ${Loop}
  ${Log} "The server answers in namespace $R6"
FunctionEnd

Function LogServerVersion
  ${Ulvane_Call} "${HOST}" $Port "%SYS" "$$ZV" $0
  ${Log} "Server: $0"
FunctionEnd

Function Register
  Call RequireConfigurationFile
  ${Ulvane_UpdateCpf} $Cpf $0
  ${If} $0 <> 1
    ${Why} "UpdateCpf returned $0"
    ${Fail} "Could not register namespace ULV and web application /csp/ulv in $Cpf: $R9"
  ${EndIf}
  ${Log} "Registered namespace ULV and web application /csp/ulv in $Cpf"
FunctionEnd

Function LoadRoutines
  !insertmacro ForEachRoutine LoadRoutine
  StrCpy $1 "$INSTDIR\routines\ulvinst.rtn"
  ${Ulvane_LoadFile} "${HOST}" $Port $1 $0
  ${If} $0 <> 1
    ${Why} "LoadFile returned $0"
    ${Fail} "Could not load the install routine from $1: $R9"
  ${EndIf}
  ${Log} "Loaded the install routine into %SYS"
FunctionEnd

Function CheckRoutines
  !insertmacro ForEachRoutine CheckProductRoutine
  !insertmacro CheckRoutine %SYS QUMAINST
FunctionEnd
