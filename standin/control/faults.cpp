#include "faults.h"

#include <cstdlib>
#include <new>
#include <stdexcept>

#include "common/utf8.h"

namespace standin {
namespace {

const char* const kSteps[] = {
    "GetMiscStatus",
    "SetClientSite",
    "GetExtent",
    "InitNew",
    "OnAmbientPropertyChange",
    "Close",
    "QI:IPersistStreamInit",
    "QI:IOleControl",
    "QI:IDispatch",
    "QI:_DVisM",
    "QI:IConnectionPointContainer",
    "Advise:IPropertyNotifySink",
    "Advise:events",
};

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::optional<long> parse_long(const std::string& text, bool allow_negative) {
  if (text.empty() || (!allow_negative && text[0] == '-')) return std::nullopt;
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (*end) return std::nullopt;
  return static_cast<long>(value);
}

bool dispatch_target(const std::string& target) {
  return target.rfind("put:", 0) == 0 || target.rfind("get:", 0) == 0 || target == "RunCode" ||
         target == "disconnect";
}

bool known_target(const std::string& target) {
  for (const char* step : kSteps)
    if (target == step) return true;
  if (target == "RunCode" || target == "disconnect" || target == "create") return true;
  if (target.rfind("put:", 0) == 0 || target.rfind("get:", 0) == 0) {
    std::string id = target.substr(4);
    return !id.empty() && id.find_first_not_of("0123456789") == std::string::npos;
  }
  return false;
}

std::optional<Outcome> parse_outcome(const std::string& text) {
  Outcome outcome;
  if (text.rfind("exception:", 0) == 0) {
    std::string rest = text.substr(10);
    size_t colon = rest.find(':');
    if (colon == std::string::npos) return std::nullopt;
    std::string code = rest.substr(0, colon);
    if (code.rfind("wCode=", 0) == 0) {
      std::optional<long> wcode = parse_long(code.substr(6), false);
      if (!wcode || *wcode < 1 || *wcode > 0xFFFF) return std::nullopt;
      outcome.wcode = static_cast<WORD>(*wcode);
    } else {
      std::optional<long> scode = parse_long(code, false);
      if (!scode) return std::nullopt;
      outcome.scode = *scode;
    }
    outcome.code = DISP_E_EXCEPTION;
    outcome.exception = true;
    outcome.description = widen(rest.substr(colon + 1));
    return outcome;
  }
  if (text == "throw:bad_alloc" || text == "throw:runtime_error") {
    outcome.thrown = text == "throw:bad_alloc" ? Outcome::Thrown::BadAlloc : Outcome::Thrown::RuntimeError;
    return outcome;
  }
  std::optional<long> code = parse_long(text, false);
  if (!code) return std::nullopt;
  outcome.code = *code;
  return outcome;
}

}  // namespace

void throw_if_asked(const Outcome& outcome) {
  if (outcome.thrown == Outcome::Thrown::BadAlloc) throw std::bad_alloc();
  if (outcome.thrown == Outcome::Thrown::RuntimeError) throw std::runtime_error("stand-in fault");
}

std::optional<Faults> Faults::parse(const std::string& text) {
  Faults faults;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    std::string item = trimmed(text.substr(start, end - start));
    start = end + 1;
    if (item.empty()) continue;
    if (item == "p1=null") {
      faults.p1_null_ = true;
      continue;
    }
    size_t equals = item.find('=');
    if (equals == std::string::npos) return std::nullopt;
    std::string target = trimmed(item.substr(0, equals));
    Fault fault;
    if (size_t hash = target.find('#'); hash != std::string::npos) {
      std::optional<long> nth = parse_long(target.substr(hash + 1), false);
      if (!nth || *nth < 1) return std::nullopt;
      fault.nth = *nth;
      target.resize(hash);
    }
    std::optional<Outcome> outcome = parse_outcome(trimmed(item.substr(equals + 1)));
    if (!known_target(target) || !outcome || (outcome->exception && !dispatch_target(target)))
      return std::nullopt;
    if (target == "create") {
      if (fault.nth) return std::nullopt;
      faults.create_ = *outcome;
      continue;
    }
    fault.target = target;
    fault.outcome = *outcome;
    faults.faults_.push_back(fault);
  }
  return faults;
}

std::optional<Outcome> Faults::on_call(const std::string& target) {
  int number = ++calls_[target];
  for (const Fault& fault : faults_) {
    if (fault.target != target || (fault.nth != 0 && fault.nth != number)) continue;
    throw_if_asked(fault.outcome);
    return fault.outcome;
  }
  return std::nullopt;
}

}  // namespace standin
