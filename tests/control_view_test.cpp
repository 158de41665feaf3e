// The DLL creates the control in its own architecture's registry view: the 32-bit DLL
// needs a 32-bit control, its 64-bit twin a 64-bit one. A control registered only in
// the other view is not registered for it; and one the registry names but COM does not
// create is not registered either, as doctor says. Runs in a prefix of its own, where
// this test alone registers the control.
#include <gtest/gtest.h>

#include <windows.h>

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/com_checks.h"
#include "support/library.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/standin_server.h"

using namespace ulvane::test;

namespace {

const std::string kClassKey = std::string("Software\\Classes\\CLSID\\") + ULVANE_CONTROL_CLASS_ID;
const std::string kServerKey = kClassKey + "\\InprocServer32";
const std::string kTreatAsKey = kClassKey + "\\TreatAs";
#ifdef _WIN64
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;
constexpr REGSAM kOwnView = KEY_WOW64_64KEY;
#else
constexpr REGSAM kOtherView = KEY_WOW64_64KEY;
constexpr REGSAM kOwnView = KEY_WOW64_32KEY;
#endif

// Creates the key in the view, with text values by name (null: the default value).
void write_key(const std::string& path, REGSAM view,
               std::initializer_list<std::pair<const char*, std::string>> values) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    throw std::runtime_error("cannot write " + path);
  for (const auto& [name, text] : values)
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), DWORD(text.size() + 1));
  RegCloseKey(key);
}

// The class as the other architecture's regsvr32 records it: its server (a path that a
// process of this architecture could not load anyway) and threading model, in its view.
class OtherViewRegistration {
public:
  OtherViewRegistration() {
    write_key(kServerKey, kOtherView,
              {{nullptr, "C:\\other\\standin-control.dll"}, {"ThreadingModel", "Apartment"}});
  }
  ~OtherViewRegistration() { remove(); }
  OtherViewRegistration(const OtherViewRegistration&) = delete;
  OtherViewRegistration& operator=(const OtherViewRegistration&) = delete;

private:
  static void remove() {
    HKEY classes = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClassKey.c_str(), 0, KEY_ALL_ACCESS | kOtherView, &classes) ==
        ERROR_SUCCESS) {
      RegDeleteTreeA(classes, nullptr);
      RegCloseKey(classes);
      RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kClassKey.c_str(), kOtherView, 0);
    }
  }
};

// The stand-in control registered in this architecture's view by its own entry point,
// as regsvr32 of this architecture does, and unregistered again.
class OwnViewRegistration {
public:
  OwnViewRegistration() : module_(LoadLibraryA(beside_this_program("standin-control.dll").c_str())) {
    if (!module_ || entry("DllRegisterServer")() != S_OK)
      throw std::runtime_error("cannot register the control");
  }
  ~OwnViewRegistration() {
    entry("DllUnregisterServer")();
    FreeLibrary(module_);
  }
  OwnViewRegistration(const OwnViewRegistration&) = delete;
  OwnViewRegistration& operator=(const OwnViewRegistration&) = delete;

private:
  HRESULT(__stdcall* entry(const char* name))() {
    return reinterpret_cast<HRESULT(__stdcall*)()>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }
  HMODULE module_;
};

// The class emulated by one registered nowhere (its TreatAs key, in this view): the
// registry still names the control's server, yet COM creates no instance of it.
class TreatedAsUnregistered {
public:
  TreatedAsUnregistered() {
    write_key(kTreatAsKey, kOwnView, {{nullptr, "{0E1D2C3B-4A59-6877-8695-A4B3C2D1E0F0}"}});
  }
  ~TreatedAsUnregistered() { RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kTreatAsKey.c_str(), kOwnView, 0); }
  TreatedAsUnregistered(const TreatedAsUnregistered&) = delete;
  TreatedAsUnregistered& operator=(const TreatedAsUnregistered&) = delete;
};

}  // namespace

// A class registered nowhere is "class not registered". Registered only in the other
// view it is not registered for this DLL either: Windows says the same, and Wine, which
// also looks for a local server of the class, finds the other view's class key and
// reports a key missing from the registry. Either way nothing reaches the server.
TEST(ControlView, AControlOnlyInTheOtherViewIsNotRegisteredForThisDll) {
  StandinServer server;
  const std::string file = server.write_file("ULVX.rtn", "ULVX ; routine\r\n Q\r\n");
  const char* host = "127.0.0.1";
  const std::string port = server.port_text();
  EXPECT_EQ(library().Call(host, port.c_str(), "USER", "$ZV"), code_text(REGDB_E_CLASSNOTREG));

  OtherViewRegistration other;
  const std::string answer = library().Call(host, port.c_str(), "USER", "$ZV");
  EXPECT_TRUE(answer == code_text(REGDB_E_CLASSNOTREG) || answer == code_text(REGDB_E_KEYMISSING)) << answer;
  EXPECT_EQ(library().LoadRtn(file.c_str(), host, port.c_str(), "USER", "ULVX"), 0);
  EXPECT_EQ(library().LoadFile(host, port.c_str(), file.c_str()), 0);
  EXPECT_EQ(server.journal(), "");
}

TEST(ControlView, AControlInThisViewServesTheDll) {
  StandinServer server;
  OtherViewRegistration other;
  OwnViewRegistration own;
  const std::string port = server.port_text();
  EXPECT_STREQ(library().Call("127.0.0.1", port.c_str(), "USER", "$ZV"), "Ulvane stand-in server 1.0");
  EXPECT_EQ(server.journal(), "USER\tS P1=$ZV\n");
}

// doctor finds the control in the registry, but COM says the class is not registered
// when the server does not answer: doctor asks COM itself, and says so by that code
// whatever text the system has for it.
TEST(ControlView, DoctorNamesAClassComDoesNotCreate) {
  StandinServer server;
  OwnViewRegistration own;
  TreatedAsUnregistered treated;
  ScratchConfigurations registry;
  ScratchDirectory dir;
  registry.set_text("CACHE", "Directory", dir.path() + "\\");
  registry.set_text("CACHE", "Properties",
                    dir.write("cache.cpf", "[Startup]\r\nDefaultPort=" + server.port_text() + "\r\n"));

  ProcessResult result = run_process(quoted(beside_this_program("ulvane-call.exe")) + " doctor");
  std::erase(result.out, '\r');
  EXPECT_EQ(result.exit_code, 1u);
  EXPECT_NE(result.out.find("\ncontrol registered: ok ("), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\nserver answers: FAILED: the control is not registered (Call answered: " +
                            code_text(REGDB_E_CLASSNOTREG) + ")\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(server.journal(), "");
}
