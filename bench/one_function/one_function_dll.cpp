// The smallest DLL a host can load, call and unload: the baseline for what a round
// with Ulvane.dll costs beyond the platform's own loading.
extern "C" __declspec(dllexport) int __stdcall One(int value) {
  return value;
}
