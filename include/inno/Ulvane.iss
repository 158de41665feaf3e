; Ulvane.dll for Inno Setup 6 scripts. Setup is a 32-bit program: it ships the
; 32-bit Ulvane.dll. Put the DLL in [Files] with dontcopy, then include this file:
;
;   [Files]
;   Source: "path\to\Ulvane.dll"; Flags: dontcopy
;   #include "path\to\include\inno\Ulvane.iss"
;
; Setup extracts the DLL into its temporary directory and loads it before the script
; runs (a DLL that does not load stops Setup there, with Inno Setup's own "Cannot
; import" message), and unloads and deletes it when it ends.
;
; Texts go in as AnsiString and come back as PAnsiChar, which assigning to a String
; copies: a returned text is valid only until the next call of the same export.

; Facts of the library's C header (ulvane.h), by the same names: the trace's
; environment variables, and the class id of the control the server calls create
; ('{#ULVANE_CONTROL_CLASS_ID}' in the script's code).
#define ULVANE_TRACE_VARIABLE "ULVANE_TRACE"
#define ULVANE_TRACE_ARGS_VARIABLE "ULVANE_TRACE_ARGS"
#define ULVANE_CONTROL_CLASS_ID "{88F75483-0574-11D0-8085-0000C0BD354B}"

[Code]
function UpdateCpf(CpfPath: AnsiString): Integer;
  external 'UpdateCpf@files:Ulvane.dll stdcall';
function GetCachePort(Config: AnsiString): Integer;
  external 'GetCachePort@files:Ulvane.dll stdcall';
function GetCacheCpf(Config: AnsiString): PAnsiChar;
  external 'GetCacheCpf@files:Ulvane.dll stdcall';
function GetCacheDir(Config: AnsiString): PAnsiChar;
  external 'GetCacheDir@files:Ulvane.dll stdcall';
function LoadRtn(FilePath, Host, Port, NameSpace, Routine: AnsiString): Integer;
  external 'LoadRtn@files:Ulvane.dll stdcall';
// Sleep and Call get other names: the script has its own Sleep, and Call reads
// better with the library's name on it.
function UlvaneSleep(Milliseconds: Integer): Integer;
  external 'Sleep@files:Ulvane.dll stdcall';
function GetCacheConfig: PAnsiChar;
  external 'GetCacheConfig@files:Ulvane.dll stdcall';
function UlvaneCall(Host, Port, NameSpace, Expression: AnsiString): PAnsiChar;
  external 'Call@files:Ulvane.dll stdcall';
function LoadFile(Host, Port, FilePath: AnsiString): Integer;
  external 'LoadFile@files:Ulvane.dll stdcall';
function GetLastFailure: PAnsiChar;
  external 'GetLastFailure@files:Ulvane.dll stdcall';

// Why this thread's last call of another export failed, or '' when it did not.
function UlvaneLastFailure: String;
begin
  Result := GetLastFailure();
end;

// The configurations GetCacheConfig lists, in its order; none when it lists none
// (UlvaneLastFailure, called next, says why).
function UlvaneConfigurations: TArrayOfString;
var
  Names: String;
  LineEnd, Count: Integer;
begin
  Names := GetCacheConfig();
  Count := 0;
  SetArrayLength(Result, 0);
  while Names <> '' do begin
    Count := Count + 1;
    SetArrayLength(Result, Count);
    LineEnd := Pos(#13#10, Names);
    if LineEnd = 0 then begin
      Result[Count - 1] := Names;
      Names := '';
    end else begin
      Result[Count - 1] := Copy(Names, 1, LineEnd - 1);
      Delete(Names, 1, LineEnd + 1);
    end;
  end;
end;
