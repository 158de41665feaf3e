; The Ulvane example installer for Inno Setup 6: installs the Ulvane web
; application on the InterSystems Cache server of this machine through
; Ulvane.dll and its Inno Setup binding (include/inno/Ulvane.iss), as
; examples/nsis/ulvane-example.nsi does. Every step's result goes to the setup
; log; a failed step writes "FAILED: " and the reason there and ends setup with
; exit code 7.
;
;   ISCC.exe /DULVANE_DLL=C:\path\Ulvane.dll [/O<output dir>] [/F<name>] ulvane-example.iss
;
; The installer is written to this script's folder (OutputDir=.) unless /O names
; another; /F names it (default: ulvane-inno-example-setup.exe).
;   setup.exe [/VERYSILENT /SUPPRESSMSGBOXES] [/CONFIG=name] [/LOG=file] [/ULVANETRACE=file] [/DIR=directory]
;
; /CONFIG picks the server configuration (default: the first listed), /LOG the
; setup log (default: Setup Log <date> #<n>.txt in %TEMP%), /DIR the web
; application's directory (default: the configuration's directory\CSP\ulv).
; /ULVANETRACE makes Ulvane.dll append a line per call to that file, arguments
; as given: for diagnosing a failed install only, as a trace can hold passwords.
;
; Before anything is installed (PrepareToInstall) it finds the configuration and
; waits for the server; a failure there stops setup with Inno Setup's own
; "cannot proceed" (exit code 7). After the files are installed
; (CurStepChanged(ssPostInstall)) it registers the product and loads the
; routines; Inno Setup cannot fail an install from there, so a failure is shown,
; the finished page says so, and GetCustomSetupExitCode returns the same 7.

#ifndef ULVANE_DLL
  #error Define ULVANE_DLL, the built Ulvane.dll: ISCC.exe /DULVANE_DLL=C:\path\Ulvane.dll
#endif
#ifndef OUTPUT_NAME
  #define OUTPUT_NAME "ulvane-inno-example-setup"
#endif

[Setup]
AppName=Ulvane
; The version of the DLL it installs with.
AppVersion={#GetVersionNumbersString(ULVANE_DLL)}
DefaultDirName={code:DefaultInstallDir}
DisableDirPage=yes
DisableProgramGroupPage=yes
DisableReadyPage=yes
Uninstallable=no
PrivilegesRequired=admin
SetupLogging=yes
OutputDir=.
OutputBaseFilename={#OUTPUT_NAME}

[Files]
; Extracted to Setup's temporary directory and loaded as the script starts,
; unloaded and deleted with it when Setup ends.
Source: "{#ULVANE_DLL}"; Flags: dontcopy
Source: "..\web\index.csp"; DestDir: "{app}"
Source: "..\routines\ULVAPI.rtn"; DestDir: "{app}\routines"
Source: "..\routines\ULVWEB.rtn"; DestDir: "{app}\routines"
Source: "..\routines\ulvinst.rtn"; DestDir: "{app}\routines"

#include SourcePath + "..\..\include\inno\Ulvane.iss"

[Code]
// The DLL reads its trace variable from Setup's environment on every call.
function SetEnvironmentVariable(Name, Value: String): Integer;
  external 'SetEnvironmentVariableW@kernel32.dll stdcall';

const
  // The installer runs on the database server's own machine.
  Host = '127.0.0.1';
  // How often to ask a server that does not answer yet, and how long to wait between.
  Attempts = 3;
  PauseMs = 1000;
  // The exit code of every failed step: Inno Setup's own "Setup cannot proceed".
  FailedExitCode = 7;

var
  ConfigurationRead: Boolean;  // the lookup below has run, whatever its outcome
  Failure: String;             // the reason of the step that failed, or ''
  Config: String;              // the chosen server configuration
  CacheDir: String;            // its installation directory
  Cpf: String;                 // its configuration file
  Port: String;                // its server port

// A failed step: the reason goes to the log; the caller stops.
procedure Fail(Reason: String);
begin
  Failure := Reason;
  Log('FAILED: ' + Reason);
end;

// Why the last call failed, in the DLL's own words, or else Otherwise (what the call
// gave, for a call that did not fail but did not give what the step needs).
function Why(Otherwise: String): String;
begin
  Result := UlvaneLastFailure;
  if Result = '' then
    Result := Otherwise;
end;

// The product's routines, each loaded into ULV under its file's name: one line
// per file in examples/routines (ulvinst.rtn, the install routine, aside), each
// also listed in [Files].
function ProductRoutines: TArrayOfString;
begin
  SetArrayLength(Result, 2);
  Result[0] := 'ULVAPI';
  Result[1] := 'ULVWEB';
end;

// Runs before Setup first needs the install directory, and so before the DLL's first call.
function InitializeSetup: Boolean;
var
  TraceFile: String;
begin
  TraceFile := ExpandConstant('{param:ULVANETRACE}');
  if TraceFile <> '' then begin
    SetEnvironmentVariable('{#ULVANE_TRACE_VARIABLE}', TraceFile);
    Log('Tracing Ulvane.dll''s calls to ' + TraceFile);
  end;
  Result := True;
end;

// The configuration named by /CONFIG=, or else the first one listed.
function ChooseConfiguration: Boolean;
var
  Names: TArrayOfString;
  Wanted: String;
  I: Integer;
begin
  Result := False;
  Wanted := ExpandConstant('{param:CONFIG}');
  Names := UlvaneConfigurations;
  if GetArrayLength(Names) = 0 then begin
    Fail('No InterSystems Cache configuration is installed on this machine: ' + Why('GetCacheConfig is empty'));
    Exit;
  end;
  Config := '';
  for I := 0 to GetArrayLength(Names) - 1 do begin
    Log('Found configuration ' + Names[I]);
    if (Config = '') and ((Wanted = '') or (Wanted = Names[I])) then
      Config := Names[I];
  end;
  if Config = '' then begin
    Fail('There is no configuration named ' + Wanted);
    Exit;
  end;
  Log('Configuration: ' + Config);
  Result := True;
end;

// UpdateCpf given a file that is not there makes a new one, which registers nothing
// with the server: the file must be there before the port is read from it and before
// the product is registered in it.
function ConfigurationFileExists: Boolean;
begin
  Result := FileExists(Cpf);
  if not Result then
    Fail('The configuration file ' + Cpf + ' of configuration ' + Config + ' does not exist');
end;

function ReadConfiguration: Boolean;
var
  PortNumber: Integer;
begin
  Result := False;
  CacheDir := GetCacheDir(Config);
  if CacheDir = '' then begin
    Fail('Configuration ' + Config + ' has no installation directory: ' + Why('GetCacheDir is empty'));
    Exit;
  end;
  Log('Directory: ' + CacheDir);

  Cpf := GetCacheCpf(Config);
  if Cpf = '' then begin
    Fail('Configuration ' + Config + ' has no configuration file: ' + Why('GetCacheCpf is empty'));
    Exit;
  end;
  Log('Configuration file: ' + Cpf);
  if not ConfigurationFileExists then
    Exit;

  PortNumber := GetCachePort(Config);
  if PortNumber < 1 then begin
    Fail('No server port in ' + Cpf + ': ' + Why('GetCachePort returned ' + IntToStr(PortNumber)));
    Exit;
  end;
  Port := IntToStr(PortNumber);
  Log('Port: ' + Port);
  Result := True;
end;

// Runs once, when Setup first needs the install directory, so that the default
// directory can be the configuration's; PrepareToInstall reports its failure.
procedure ReadConfigurationOnce;
begin
  if ConfigurationRead then
    Exit;
  ConfigurationRead := True;
  if ChooseConfiguration then
    ReadConfiguration;
end;

function DefaultInstallDir(Param: String): String;
begin
  ReadConfigurationOnce;
  if Failure = '' then
    Result := AddBackslash(CacheDir) + 'CSP\ulv'
  else
    Result := ExpandConstant('{autopf}\Ulvane');
end;

// Asks the server which namespace it runs a line in there, until it says
// NameSpace: a server that is still starting, or still making a new namespace
// ready, gets a few chances.
function WaitForNamespace(NameSpace: String): Boolean;
var
  Attempt: Integer;
  Answer, Reason: String;
begin
  Result := False;
  Attempt := 1;
  while True do begin
    Answer := UlvaneCall(Host, Port, NameSpace, '$NAMESPACE');
    if Answer = NameSpace then
      Break;
    Reason := Why('it answered ' + Answer);
    if Attempt >= Attempts then begin
      Fail('The server at ' + Host + ' port ' + Port + ' does not answer in namespace ' + NameSpace + ': ' + Reason);
      Exit;
    end;
    Log('Waiting for namespace ' + NameSpace + ' at ' + Host + ' port ' + Port + ' (attempt ' +
        IntToStr(Attempt) + ' of ' + IntToStr(Attempts) + '): ' + Reason);
    Attempt := Attempt + 1;
    UlvaneSleep(PauseMs);
  end;
  Log('The server answers in namespace ' + NameSpace);
  Result := True;
end;

function Register: Boolean;
var
  Status: Integer;
begin
  Result := False;
  if not ConfigurationFileExists then
    Exit;
  Status := UpdateCpf(Cpf);
  Result := Status = 1;
  if Result then
    Log('Registered namespace ULV and web application /csp/ulv in ' + Cpf)
  else
    Fail('Could not register namespace ULV and web application /csp/ulv in ' + Cpf + ': ' +
         Why('UpdateCpf returned ' + IntToStr(Status)));
end;

function LoadRoutines: Boolean;
var
  Routines: TArrayOfString;
  I, Status: Integer;
  Path: String;
begin
  Result := False;
  Routines := ProductRoutines;
  for I := 0 to GetArrayLength(Routines) - 1 do begin
    Path := ExpandConstant('{app}\routines\') + Routines[I] + '.rtn';
    Status := LoadRtn(Path, Host, Port, 'ULV', Routines[I]);
    if Status <> 1 then begin
      Fail('Could not load routine ' + Routines[I] + ' into ULV from ' + Path + ': ' +
           Why('LoadRtn returned ' + IntToStr(Status)));
      Exit;
    end;
    Log('Loaded routine ' + Routines[I] + ' into ULV');
  end;
  Path := ExpandConstant('{app}\routines\ulvinst.rtn');
  Status := LoadFile(Host, Port, Path);
  if Status <> 1 then begin
    Fail('Could not load the install routine from ' + Path + ': ' + Why('LoadFile returned ' + IntToStr(Status)));
    Exit;
  end;
  Log('Loaded the install routine into %SYS');
  Result := True;
end;

// Asks the server, in the namespace itself, for the namespace's name and whether
// the routine is saved there, in one answer ("ULV:1"): a failed Call returns its
// message instead, and a missing namespace gives another name, so neither can pass
// for a saved routine.
function CheckRoutine(NameSpace, Name: String): Boolean;
var
  Answer: String;
begin
  Answer := UlvaneCall(Host, Port, NameSpace, '$NAMESPACE_":"_($D(^ROUTINE("' + Name + '"))>0)');
  Result := Answer = NameSpace + ':1';
  if Result then
    Log('Checked: routine ' + Name + ' is in ' + NameSpace)
  else
    Fail('Routine ' + Name + ' is not in ' + NameSpace + ' after loading: ' +
         Why('the check answered ' + Answer + ', not ' + NameSpace + ':1'));
end;

function CheckRoutines: Boolean;
var
  Routines: TArrayOfString;
  I: Integer;
begin
  Result := False;
  Routines := ProductRoutines;
  for I := 0 to GetArrayLength(Routines) - 1 do
    if not CheckRoutine('ULV', Routines[I]) then
      Exit;
  Result := CheckRoutine('%SYS', 'QUMAINST');
end;

// Nothing is installed before the server has answered.
function PrepareToInstall(var NeedsRestart: Boolean): String;
begin
  ReadConfigurationOnce;
  if Failure = '' then
    if WaitForNamespace('%SYS') then
      Log('Server: ' + UlvaneCall(Host, Port, '%SYS', '$ZV'));
  Result := Failure;
end;

function RegisterAndLoad: Boolean;
begin
  Result := False;
  if not Register then
    Exit;
  // The namespace just registered must be in service before routines go into it.
  if not WaitForNamespace('ULV') then
    Exit;
  if not LoadRoutines then
    Exit;
  Result := CheckRoutines;
end;

procedure CurStepChanged(CurStep: TSetupStep);
begin
  if CurStep <> ssPostInstall then
    Exit;
  Log('Installed the web application''s files in ' + ExpandConstant('{app}'));
  if RegisterAndLoad then begin
    Log('Installed.');
    Exit;
  end;
  SuppressibleMsgBox(Failure, mbCriticalError, MB_OK, IDOK);
  WizardForm.FinishedHeadingLabel.Caption := 'Ulvane was not installed';
  WizardForm.FinishedLabel.Caption := Failure;
end;

function GetCustomSetupExitCode: Integer;
begin
  if Failure <> '' then
    Result := FailedExitCode
  else
    Result := 0;
end;
