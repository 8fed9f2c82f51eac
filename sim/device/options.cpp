#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace r47sim {
namespace {

bool ParseNumber(const std::string& text, uint64_t& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-') return false;
  out = v;
  return true;
}

bool ParseFlag(const std::string& text, bool& out) {
  if (text.empty() || text == "1" || text == "true" || text == "yes" || text == "on") {
    out = true;
    return true;
  }
  if (text == "0" || text == "false" || text == "no" || text == "off") {
    out = false;
    return true;
  }
  return false;
}

// "ITEM[*N],ITEM[*N],..."; ITEM: a number, none, bad:NUMBER, short:BYTES:NUMBER, busy,
// hang or close.
bool ParseVersionSequence(const std::string& text, std::vector<VersionItem>& out, std::string& error) {
  out.clear();
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    VersionItem v;
    size_t star = item.find('*');
    if (star != std::string::npos) {
      uint64_t n;
      if (!ParseNumber(item.substr(star + 1), n) || n == 0 || n > 1000000) {
        error = "bad repeat count in '" + item + "'";
        return false;
      }
      v.count = static_cast<unsigned>(n);
      item.resize(star);
    } else {
      v.count = 1;
    }
    uint64_t num;
    if (item == "none") {
      v.kind = VersionItem::None;
    } else if (item == "hang") {
      v.kind = VersionItem::Hang;
    } else if (item == "close") {
      v.kind = VersionItem::Close;
    } else if (item == "busy") {
      v.kind = VersionItem::Busy;
    } else if (item.compare(0, 6, "short:") == 0 && item.find(':', 6) != std::string::npos &&
               ParseNumber(item.substr(6, item.find(':', 6) - 6), num) && num <= 128) {
      uint64_t word;
      if (!ParseNumber(item.substr(item.find(':', 6) + 1), word) || word > 0xFFFF) {
        error = "bad version item '" + item + "'";
        return false;
      }
      v.kind = VersionItem::Version;
      v.size = static_cast<unsigned>(num);
      v.value = static_cast<uint16_t>(word);
    } else if (item.compare(0, 4, "bad:") == 0 && ParseNumber(item.substr(4), num) && num <= 0xFFFF) {
      v.kind = VersionItem::Bad;
      v.value = static_cast<uint16_t>(num);
    } else if (ParseNumber(item, num) && num <= 0xFFFF) {
      v.kind = VersionItem::Version;
      v.value = static_cast<uint16_t>(num);
    } else {
      error = "bad version item '" + item + "'";
      return false;
    }
    out.push_back(v);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  if (out.empty()) {
    error = "empty version sequence";
    return false;
  }
  out.back().count = 0;  // the last answer stays
  return true;
}

bool ParseUnplug(const std::string& text, UnplugPoint& out, std::string& error) {
  size_t colon = text.find(':');
  std::string kind = text.substr(0, colon);
  std::string arg = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (kind == "command" && arg.empty()) {
    out.kind = UnplugPoint::Command;
    out.value = 0;
    return true;
  }
  uint64_t n;
  if (!ParseNumber(arg, n)) {
    error = "bad unplug point '" + text + "'";
    return false;
  }
  if (kind == "transfer") {
    out.kind = UnplugPoint::Transfer;
  } else if (kind == "format" && n <= 100) {
    out.kind = UnplugPoint::Format;
  } else if (kind == "write" && n <= 100) {
    out.kind = UnplugPoint::Write;
  } else if (kind == "after-reads") {
    out.kind = UnplugPoint::AfterReads;
  } else {
    error = "bad unplug point '" + text + "'";
    return false;
  }
  out.value = n;
  return true;
}

bool Apply(const std::string& key, const std::string& value, bool hasValue, Options& opt, std::string& error);

bool LoadScenario(const std::string& path, Options& opt, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read scenario file '" + path + "'";
    return false;
  }
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    line = line.substr(first);
    size_t eq = line.find('=');
    std::string key = line.substr(0, eq);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
    std::string value;
    if (eq != std::string::npos) {
      value = line.substr(eq + 1);
      size_t v0 = value.find_first_not_of(" \t");
      value = v0 == std::string::npos ? "" : value.substr(v0);
    }
    if (key == "scenario" || !Apply(key, value, eq != std::string::npos, opt, error)) {
      if (key == "scenario") error = "a scenario file cannot include another";
      error = path + ":" + std::to_string(lineNo) + ": " + error;
      return false;
    }
  }
  return true;
}

bool Apply(const std::string& key, const std::string& value, bool hasValue, Options& opt, std::string& error) {
  uint64_t n = 0;
  auto number = [&](uint64_t max) {
    if (!ParseNumber(value, n) || n > max) {
      error = "bad value '" + value + "' for " + key;
      return false;
    }
    return true;
  };
  auto flag = [&](bool& target) {
    if (!ParseFlag(hasValue ? value : "", target)) {
      error = "bad value '" + value + "' for " + key;
      return false;
    }
    return true;
  };
  if (key == "name") {
    opt.name = value;
  } else if (key == "record") {
    opt.recordDir = value;
  } else if (key == "quit-event") {
    opt.quitEvent = value;
  } else if (key == "unplug-event") {
    opt.unplugEvent = value;
  } else if (key == "plug-event") {
    opt.plugEvent = value;
  } else if (key == "parent-pid") {
    if (!number(0xFFFFFFFFu)) return false;
    opt.parentPid = static_cast<unsigned long>(n);
  } else if (key == "lifetime-ms") {
    if (!number(0x7FFFFFFF)) return false;
    opt.lifetimeMs = static_cast<unsigned>(n);
  } else if (key == "version") {
    if (!number(0xFFFF)) return false;
    opt.versionSequence = {VersionItem{VersionItem::Version, static_cast<uint16_t>(n), 0}};
  } else if (key == "no-version") {
    bool on = false;
    if (!flag(on)) return false;
    if (on) opt.versionSequence = {VersionItem{VersionItem::None, 0, 0}};
  } else if (key == "version-sequence") {
    return ParseVersionSequence(value, opt.versionSequence, error);
  } else if (key == "pace-ms") {
    if (!number(600000)) return false;
    opt.paceMs = static_cast<unsigned>(n);
  } else if (key == "step") {
    if (!number(100) || n == 0) {
      error = "step must be 1..100";
      return false;
    }
    opt.step = static_cast<unsigned>(n);
  } else if (key == "unplug-at") {
    return ParseUnplug(value, opt.unplugAt, error);
  } else if (key == "replug-after-ms") {
    if (!number(0x7FFFFFFF)) return false;
    opt.replugAfterMs = static_cast<int>(n);
  } else if (key == "format-fail-at") {
    if (!number(100)) return false;
    opt.formatFailAt = static_cast<int>(n);
  } else if (key == "write-fail-at") {
    if (!number(100)) return false;
    opt.writeFailAt = static_cast<int>(n);
  } else if (key == "no-zero") {
    return flag(opt.noZero);
  } else if (key == "unplug-once") {
    return flag(opt.unplugOnce);
  } else if (key == "fail-text") {
    opt.failText = value;
  } else if (key == "hang") {
    if (value.compare(0, 5, "reads") == 0) {
      opt.hangReads = true;
      opt.hangReadsAfter = 0;
      if (value.size() > 5 && (value[5] != ':' || !ParseNumber(value.substr(6), opt.hangReadsAfter))) {
        error = "bad value '" + value + "' for hang";
        return false;
      }
    } else if (value.compare(0, 6, "writes") == 0) {
      opt.hangWrites = true;
      opt.hangWritesAfter = 0;
      if (value.size() > 6) {
        if (value[6] != ':' || !ParseNumber(value.substr(7), opt.hangWritesAfter)) {
          error = "bad value '" + value + "' for hang";
          return false;
        }
      }
    } else {
      error = "hang takes reads[:REPORTS] or writes[:BYTES]";
      return false;
    }
  } else if (key == "short-report") {
    if (!number(128)) return false;
    opt.shortReport = static_cast<int>(n);
  } else if (key == "empty-every") {
    if (!number(1000000)) return false;
    opt.emptyEvery = static_cast<unsigned>(n);
  } else if (key == "garbage-kinds") {
    return flag(opt.garbageKinds);
  } else if (key == "report-delay-ms") {
    if (!number(600000)) return false;
    opt.reportDelayMs = static_cast<unsigned>(n);
  } else if (key == "scenario") {
    return LoadScenario(value, opt, error);
  } else {
    error = "unknown option '" + key + "'";
    return false;
  }
  return true;
}

bool TakesNoValue(const std::string& key) {
  return key == "no-version" || key == "no-zero" || key == "garbage-kinds" || key == "unplug-once";
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, Options& opt, std::string& error) {
  opt.versionSequence = {VersionItem{VersionItem::Version, 0x0105, 0}};
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.compare(0, 2, "--") != 0) {
      error = "unexpected argument '" + arg + "'";
      return false;
    }
    std::string key = arg.substr(2);
    std::string value;
    bool hasValue = false;
    size_t eq = key.find('=');
    if (eq != std::string::npos) {
      value = key.substr(eq + 1);
      key.resize(eq);
      hasValue = true;
    } else if (!TakesNoValue(key)) {
      if (i + 1 >= argc) {
        error = "option --" + key + " needs a value";
        return false;
      }
      value = argv[++i];
      hasValue = true;
    }
    if (!Apply(key, value, hasValue, opt, error)) return false;
  }
  if (opt.name.empty()) {
    error = "--name is required";
    return false;
  }
  // It names the pipes and ends the device instance id, which allows printable
  // characters except the comma, up to 200 characters in all.
  if (opt.name.find_first_of("\\/:*?\"<>|, ") != std::string::npos ||
      std::any_of(opt.name.begin(), opt.name.end(), [](char c) { return c < 0x21 || c > 0x7E; })) {
    error = "--name must be a plain word";
    return false;
  }
  if (opt.name.size() > kMaxNameLength) {
    error = "--name is longer than " + std::to_string(kMaxNameLength) + " characters";
    return false;
  }
  if (opt.quitEvent.empty()) opt.quitEvent = "Local\\r47sim-" + opt.name + "-quit";
  if (opt.unplugEvent.empty()) opt.unplugEvent = "Local\\r47sim-" + opt.name + "-unplug";
  if (opt.plugEvent.empty()) opt.plugEvent = "Local\\r47sim-" + opt.name + "-plug";
  return true;
}

}  // namespace r47sim
