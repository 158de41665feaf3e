// Many calls of every export in one process, and calls from eight threads at once:
// every result right, and the process's handles, threads and private memory no
// higher after than before. Prints its figures on lines starting "figures:".
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Linked, so the control's module stays loaded. Otherwise COM unloads it whenever a
// call's apartment ends, and each unload of a module with a static MinGW C++ runtime
// leaves a TLS slot, two handles and about 19 KB behind: the stand-in's cost, not
// the library's, and after about a thousand calls the slots run out.
#include "standin_control.h"
#include "support/library.h"
#include "support/measured_calls.h"
#include "support/process_usage.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/standin_server.h"
#include "support/text.h"

using namespace ulvane::test;

namespace {

constexpr int kConfigurationCalls = 10000;
constexpr int kServerCalls = 1000;
constexpr int kWarmUpCalls = 50;
constexpr int kThreads = 8;

// What may come and go between two measurements without anything leaking: a handle
// or thread the platform keeps for a while, a heap that has not given memory back.
constexpr long kHandleTolerance = 16;
constexpr long kThreadTolerance = 2;
constexpr long long kMemoryTolerance = 256 * 1024;
// Heaps that several threads allocate from at once grow a little further before they settle.
constexpr long long kThreadedMemoryTolerance = 1024 * 1024;

void expect_no_growth(const ProcessUsage& before, const ProcessUsage& after, const std::string& label,
                      long long memory_tolerance = kMemoryTolerance) {
  EXPECT_LE(after.handle_slots, before.handle_slots + kHandleTolerance) << label;
  EXPECT_LE(after.threads, before.threads + kThreadTolerance) << label;
  EXPECT_LE(after.private_bytes, before.private_bytes + memory_tolerance) << label;
}

// Measured calls held to this suite's tolerances. The stand-in control logs every
// call it gets, so its log is emptied before each one: the log's growth is no leak
// of the library.
void run_measured(const std::string& label, int count, const std::function<bool(int)>& call) {
  MeasuredCalls run = measure_calls(label, "calls", kWarmUpCalls, count, [&](int i) {
    StandinResetLog();
    return call(i);
  });
  expect_no_growth(run.before, run.after, label);
}

// One configuration per thread, each with its own directory, file and port.
struct Instance {
  std::string name;
  std::string directory;
  std::string cpf;
  int port;
  std::string updated_cpf;  // the file as one UpdateCpf alone leaves it
};

class Load : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    registry_ = new ScratchConfigurations;
    files_ = new ScratchDirectory;
    StandinServer::Options options;
    options.lifetime_seconds = 3600;  // outlives the longest run; ends with this process in any case
    server_ = new StandinServer(options);
    for (int t = 0; t < kThreads; ++t) {
      Instance instance;
      instance.name = numbered("LOAD", t);
      instance.directory = numbered("C:\\Program Files\\Cache load\\instance ", t) + "\\";
      instance.port = 2000 + t;
      std::string cpf_name = numbered("load", t) + ".cpf";
      instance.cpf =
          files_->write(cpf_name, crlf_lines({"[Startup]", numbered("DefaultPort=", instance.port),
                                              "[Namespaces]", "Nsp_1=%SYS,CACHESYS", "Nsp_2=USER,USER",
                                              "[CSP.Applications]", "CSPApp_1=/csp/sys,x"}));
      registry_->set_text(instance.name, "Directory", instance.directory);
      registry_->set_text(instance.name, "Properties", instance.cpf);
      library().UpdateCpf(instance.cpf.c_str());
      instance.updated_cpf = files_->read(cpf_name);
      instances_.push_back(instance);
    }
    names_ = library().GetCacheConfig();
    routine_file_ = server_->write_file("load.rtn", "LOAD ; loaded again and again\r\n Q\r\n");
  }
  static void TearDownTestSuite() {
    delete server_;
    delete files_;
    delete registry_;
    instances_.clear();
  }

  static ScratchConfigurations* registry_;
  static ScratchDirectory* files_;
  static StandinServer* server_;
  static std::vector<Instance> instances_;
  static std::string names_;  // what GetCacheConfig lists
  static std::string routine_file_;
};

ScratchConfigurations* Load::registry_ = nullptr;
ScratchDirectory* Load::files_ = nullptr;
StandinServer* Load::server_ = nullptr;
std::vector<Instance> Load::instances_;
std::string Load::names_;
std::string Load::routine_file_;

}  // namespace

TEST_F(Load, ConfigurationExportsHoldNothingAfterTenThousandCallsEach) {
  for (const Instance& instance : instances_)
    ASSERT_NE(names_.find(instance.name), std::string::npos) << names_;
  const Instance& own = instances_.front();
  const char* name = own.name.c_str();
  run_measured("GetCacheConfig", kConfigurationCalls,
               [&](int) { return library().GetCacheConfig() == names_; });
  run_measured("GetCacheDir", kConfigurationCalls,
               [&](int) { return library().GetCacheDir(name) == own.directory; });
  run_measured("GetCacheCpf", kConfigurationCalls,
               [&](int) { return library().GetCacheCpf(name) == own.cpf; });
  run_measured("GetCachePort", kConfigurationCalls,
               [&](int) { return library().GetCachePort(name) == own.port; });
  run_measured("UpdateCpf", kConfigurationCalls,
               [&](int) { return library().UpdateCpf(own.cpf.c_str()) == 1; });
  run_measured("Sleep(0)", kConfigurationCalls, [&](int) { return library().Sleep(0) == 0; });
  EXPECT_EQ(read_file(own.cpf), own.updated_cpf);
}

TEST_F(Load, ServerExportsHoldNothingAfterAThousandCallsEach) {
  const std::string host = server_->host();
  const std::string port = server_->port_text();
  const char* file = routine_file_.c_str();
  std::size_t journal_before = server_->journal().size();
  run_measured("LoadFile", kServerCalls,
               [&](int) { return library().LoadFile(host.c_str(), port.c_str(), file) == 1; });
  run_measured("LoadRtn", kServerCalls, [&](int) {
    return library().LoadRtn(file, host.c_str(), port.c_str(), "ULV", "LOADRTN") == 1;
  });
  run_measured("Call", kServerCalls, [&](int i) {
    return library().Call(host.c_str(), port.c_str(), "USER", numbered("3*", i).c_str()) ==
           std::to_string(3 * i);
  });
  // Every call reached the server with its lines, once: two for LoadFile, one for the others.
  std::string journal = server_->journal().substr(journal_before);
  EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), 4 * (kServerCalls + kWarmUpCalls));
  EXPECT_EQ(server_->routine("%SYS", "QUMAINST"), read_file(routine_file_));
  EXPECT_EQ(server_->routine("ULV", "LOADRTN"), read_file(routine_file_));
  EXPECT_EQ(StandinLiveInstances(), 0);
  EXPECT_EQ(StandinConnectedSinks(), 0);
}

namespace {

// Calls made and wrong results seen by any thread: how many, and the first one in words.
class Tally {
public:
  void call(bool right, const std::string& what) {
    ++calls_;
    check(right, what);
  }
  void check(bool right, const std::string& what) {
    if (right) return;
    std::lock_guard lock(mutex_);
    if (wrong_++ == 0) first_wrong_ = what;
  }
  int calls() const { return calls_; }
  int wrong() const { return wrong_; }
  std::string first_wrong() const { return first_wrong_; }

private:
  std::atomic<int> calls_{0};
  std::mutex mutex_;
  int wrong_ = 0;
  std::string first_wrong_;
};

}  // namespace

// Each thread asks for its own configuration and its own long value; every text
// must stay its own until that thread calls the same export again.
TEST_F(Load, EightThreadsAtOnceEachGetTheirOwnResults) {
  const std::string host = server_->host();
  const std::string port = server_->port_text();
  const int kRounds = 100;
  Tally tally;
  auto work = [&](int t, int rounds) {
    const Instance& own = instances_[t];
    const char* name = own.name.c_str();
    for (int round = 0; round < rounds; ++round) {
      StandinResetLog();  // kept short, as above
      std::string value = numbered(numbered("thread ", t) + " round ", round);
      value.resize(1000, static_cast<char>('a' + t));
      std::string expression = "\"";
      expression.append(value).append("\"");

      const char* names = library().GetCacheConfig();
      tally.call(names == names_, "GetCacheConfig");
      const char* directory = library().GetCacheDir(name);
      tally.call(directory == own.directory, numbered("GetCacheDir on thread ", t));
      const char* cpf = library().GetCacheCpf(name);
      tally.call(cpf == own.cpf, numbered("GetCacheCpf on thread ", t));
      tally.call(library().GetCachePort(name) == own.port, numbered("GetCachePort on thread ", t));
      tally.call(library().UpdateCpf(own.cpf.c_str()) == 1, numbered("UpdateCpf on thread ", t));
      tally.call(library().Sleep(0) == 0, "Sleep");
      const char* result = library().Call(host.c_str(), port.c_str(), "USER", expression.c_str());
      tally.call(result == value, numbered("Call on thread ", t) + ": " + std::string(result).substr(0, 100));
      tally.call(library().LoadRtn(routine_file_.c_str(), host.c_str(), port.c_str(), "ULV",
                                   numbered("THREAD", t).c_str()) == 1,
                 numbered("LoadRtn on thread ", t));
      tally.call(library().LoadFile(host.c_str(), port.c_str(), routine_file_.c_str()) == 1,
                 numbered("LoadFile on thread ", t));
      tally.check(names == names_ && directory == own.directory && cpf == own.cpf && result == value,
                  numbered("a text kept on thread ", t));
    }
  };
  // The threads warm up, wait while the process is measured, make their measured
  // calls and wait while it is measured again: the figures count what the calls
  // leave behind, not the threads' own stacks and handles.
  auto at_once = [&](const std::string& label, const std::function<void(int, int)>& work, int rounds) {
    std::barrier sync(kThreads + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        work(t, 1);
        sync.arrive_and_wait();
        sync.arrive_and_wait();
        work(t, rounds);
        sync.arrive_and_wait();
        sync.arrive_and_wait();
      });
    sync.arrive_and_wait();
    ProcessUsage before = measure_usage();
    int calls_before = tally.calls();
    int wrong_before = tally.wrong();
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    ProcessUsage after = measure_usage();
    sync.arrive_and_wait();
    for (std::thread& thread : threads) thread.join();
    std::printf("figures: %s from %d threads at once, calls %d, wrong %d, %s\n", label.c_str(), kThreads,
                tally.calls() - calls_before, tally.wrong() - wrong_before,
                describe_change(before, after).c_str());
    expect_no_growth(before, after, label, kThreadedMemoryTolerance);
  };
  at_once("all nine exports", work, kRounds);
  EXPECT_EQ(tally.wrong(), 0) << "first: " << tally.first_wrong();
  for (const Instance& instance : instances_) EXPECT_EQ(read_file(instance.cpf), instance.updated_cpf);
  for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(server_->routine("ULV", numbered("THREAD", t)));
  EXPECT_EQ(StandinLiveInstances(), 0);
  EXPECT_EQ(StandinConnectedSinks(), 0);
}
