/* The stand-in control's test controls: plain stdcall C exports of the stand-in
 * control DLL (standin-control.dll), for tests that run in the same process as
 * the code that creates the control. Link the standin_control_api CMake target.
 *
 * Faults
 * ------
 * StandinSetFaults(faults) sets the faults of the instances created next in this
 * process, until it is called again; "" (or a null pointer) clears them. An
 * instance keeps the faults it was created with. The text is a list of items
 * separated by ';' (blanks around items are ignored):
 *
 *   TARGET=OUTCOME        every such call of the instance fails with OUTCOME
 *   TARGET#N=OUTCOME      only the N-th such call of each instance (1-based)
 *   p1=null               property 1 reads as VT_NULL
 *
 *   TARGET   create                      the class factory refuses to make the instance
 *            GetMiscStatus  SetClientSite  GetExtent  InitNew  OnAmbientPropertyChange  Close
 *            QI:IPersistStreamInit  QI:IOleControl  QI:IDispatch  QI:_DVisM
 *            QI:IConnectionPointContainer
 *            Advise:IPropertyNotifySink  Advise:events
 *            put:DISPID  get:DISPID      a property put or get, DISPID in decimal
 *            RunCode                     the RunCode method (dispatch ID 26)
 *            disconnect                  a put of MServer to the empty text only
 *   OUTCOME  CODE                        the call returns CODE (0x... or decimal; 1 is S_FALSE)
 *            exception:SCODE:TEXT        IDispatch calls only: DISP_E_EXCEPTION, with an
 *                                        EXCEPINFO holding SCODE and the description TEXT
 *                                        (TEXT may be empty and cannot contain ';')
 *            exception:wCode=N:TEXT      the same with scode 0 and wCode N (1 to 65535)
 *            throw:bad_alloc             the call throws std::bad_alloc inside the stand-in,
 *            throw:runtime_error         or std::runtime_error; every COM entry point turns
 *                                        a C++ exception into a result: E_OUTOFMEMORY for
 *                                        bad_alloc, E_UNEXPECTED for anything else
 *
 * A failing call does nothing else: a failed put stores nothing, a failed RunCode
 * sends nothing. Examples:
 *   "create=0x80040154"                          creation fails: class not registered
 *   "QI:_DVisM=0x80004002"                       _DVisM refused (E_NOINTERFACE)
 *   "InitNew=0x8000FFFF"                         a handshake step fails
 *   "put:19=0x80020005"                          putting TimeOut fails (DISP_E_TYPEMISMATCH)
 *   "RunCode=1"                                  RunCode returns S_FALSE
 *   "RunCode#2=exception:0x80004005:Bad line."   the second RunCode raises, with that description
 *   "disconnect=exception:0x80004005:"           disconnecting raises, with an empty description
 *   "get:16=exception:wCode=7:"                  reading ErrorName raises, with wCode 7
 *   "InitNew=throw:bad_alloc"                    InitNew throws inside; the host sees E_OUTOFMEMORY
 *   "get:1=0x80004005;p1=null"                   two faults at once
 * StandinSetFaults returns 1 when the text was understood, 0 (changing nothing) when not.
 *
 * Counts
 * ------
 * StandinLiveInstances: instances made and not yet destroyed.
 * StandinConnectedSinks: sinks connected through Advise and not yet disconnected
 * through Unadvise (destroying an instance does not count as disconnecting).
 *
 * Call log
 * --------
 * StandinLog returns every call an instance received since StandinResetLog, across
 * instances, in order, one line each (UTF-8, each line ended by "\n"). The text is
 * valid until the next StandinLog call. Lines:
 *   create                          an instance was made
 *   release                         an instance was destroyed
 *   GetMiscStatus 1                 the aspect asked for
 *   SetClientSite site | SetClientSite null   GetClientSite
 *   QI IPersistStreamInit           also IOleControl, IDispatch, _DVisM, IPerPropertyBrowsing,
 *                                   IConnectionPointContainer
 *   GetExtent 1   InitNew   Close 1   OnAmbientPropertyChange -1
 *   Advise IPropertyNotifySink 1    also "Advise events N", "Unadvise ... N" (N is the cookie)
 *   put 12 ErrorTrap VT_BOOL -1     dispatch ID, name, the value as passed (before any
 *                                   conversion to the property's type): type and text
 *   put 25 MServer VT_BSTR "cn_iptcp:127.0.0.1[1972]"    or  VT_BSTR null  for a null BSTR
 *   get 16 ErrorName -> VT_BSTR ""  the value returned
 *   RunCode "S P1=1"
 * A call that fails ends its line with " -> 0x80004005" (its result, eight hex digits),
 * and a refused QI with " -> 0x80004002". */
#ifndef STANDIN_CONTROL_H
#define STANDIN_CONTROL_H

#ifdef __cplusplus
extern "C" {
#endif

int __stdcall StandinSetFaults(const char* faults);
int __stdcall StandinLiveInstances(void);
int __stdcall StandinConnectedSinks(void);
const char* __stdcall StandinLog(void);
void __stdcall StandinResetLog(void);

#ifdef __cplusplus
}
#endif

#endif
