#include "sim_harness.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace simctl {
namespace {

std::string g_lastError;
std::atomic<unsigned> g_counter{0};

std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}

// Quoting as the C runtime's argv parser expects it.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
    } else if (c == '"') {
      out.append(backslashes + 1, '\\');  // the ones already copied, doubled, and one for the quote
      backslashes = 0;
    } else {
      backslashes = 0;
    }
    out += c;
  }
  out.append(backslashes, '\\');
  return out + "\"";
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RemoveTree(const std::string& dir) {
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::string n = fd.cFileName;
      if (n == "." || n == "..") continue;
      std::string p = dir + "\\" + n;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(p);
      else
        DeleteFileA(p.c_str());
    } while (FindNextFileA(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryA(dir.c_str());
}

// This process's environment without WINEDLLOVERRIDES: the device registers
// itself through the system's own SetupAPI, even when started by a test that
// loads the substitute bus.
std::vector<wchar_t> EnvironmentForDevice() {
  std::vector<wchar_t> block;
  wchar_t* env = GetEnvironmentStringsW();
  for (const wchar_t* p = env; p && *p; p += wcslen(p) + 1) {
    if (_wcsnicmp(p, L"WINEDLLOVERRIDES=", 17) == 0) continue;
    block.insert(block.end(), p, p + wcslen(p) + 1);
  }
  if (env) FreeEnvironmentStringsW(env);
  block.push_back(L'\0');
  if (block.size() == 1) block.push_back(L'\0');
  return block;
}

}  // namespace

std::string LastError() { return g_lastError; }

std::string ExeDir() {
  wchar_t buf[MAX_PATH * 4];
  DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH * 4);
  std::wstring w(buf, n);
  w.resize(w.find_last_of(L"\\/") + 1);
  int len = WideCharToMultiByte(CP_ACP, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(len), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.c_str(), static_cast<int>(w.size()), &s[0], len, nullptr, nullptr);
  return s;
}

std::string ReadTextFile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::unique_ptr<SimDevice> SimDevice::Start(const std::vector<std::string>& extraArgs, const std::string& nameTail) {
  g_lastError.clear();
  std::unique_ptr<SimDevice> dev(new SimDevice());
  const DWORD pid = GetCurrentProcessId();
  // The counter is zero-padded so that names sort, and so enumerate, in the order
  // the devices were started.
  char counter[16];
  std::snprintf(counter, sizeof counter, "%03u", ++g_counter);
  dev->name_ = "r47sim-" + std::to_string(pid) + "-" + counter + nameTail;
  dev->pipe_ = "\\\\.\\pipe\\" + dev->name_;
  char tmp[MAX_PATH];
  DWORD n = GetTempPathA(sizeof tmp, tmp);
  dev->dir_ = std::string(tmp, n) + dev->name_;
  RemoveTree(dev->dir_);
  if (!CreateDirectoryA(dev->dir_.c_str(), nullptr)) {
    g_lastError = "cannot create " + dev->dir_;
    return nullptr;
  }
  // Created here so that Stop() works even if the device is slow to start.
  std::string quitName = "Local\\" + dev->name_ + "-quit";
  dev->quit_ = CreateEventA(nullptr, TRUE, FALSE, quitName.c_str());
  std::string unplugName = "Local\\" + dev->name_ + "-unplug", plugName = "Local\\" + dev->name_ + "-plug";
  dev->unplug_ = CreateEventA(nullptr, FALSE, FALSE, unplugName.c_str());
  dev->plug_ = CreateEventA(nullptr, FALSE, FALSE, plugName.c_str());

  std::string exe = ExeDir() + "r47sim.exe";
  std::string cmd = Quote(exe) + " --name " + dev->name_ + " --record " + Quote(dev->dir_) + " --quit-event " +
                    Quote(quitName) + " --unplug-event " + Quote(unplugName) + " --plug-event " + Quote(plugName) +
                    " --parent-pid " + std::to_string(pid);
  for (const std::string& a : extraArgs) cmd += " " + Quote(a);

  // Its output goes to a file: a child holding the test's own output pipe
  // would keep a test runner waiting.
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE out = CreateFileA((dev->dir_ + "\\stdout.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nul;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi{};
  std::wstring wcmd = Widen(cmd);
  std::vector<wchar_t> env = EnvironmentForDevice();
  BOOL ok = CreateProcessW(Widen(exe).c_str(), &wcmd[0], nullptr, nullptr, TRUE,
                           CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, env.data(), nullptr, &si, &pi);
  DWORD err = GetLastError();
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!ok) {
    g_lastError = "cannot start " + exe + " (error " + std::to_string(err) + ")";
    return nullptr;
  }
  CloseHandle(pi.hThread);
  dev->process_ = pi.hProcess;

  const std::string ready = dev->dir_ + "\\ready";
  // Bounded: about 10 s, or 30 s under qemu-i386 (scripts/test sets R47_RUNS_32BIT to
  // "emulated" there), where a 32-bit program starts several times slower.
  char mode[16] = {};
  const DWORD modeLength = GetEnvironmentVariableA("R47_RUNS_32BIT", mode, sizeof mode);
  const int rounds = modeLength > 0 && modeLength < sizeof mode && std::string(mode) == "emulated" ? 3000 : 1000;
  for (int i = 0; i < rounds; ++i) {
    // The device path in it; read again while the file is not yet readable.
    if (FileExists(ready)) {
      dev->path_ = ReadTextFile(ready);
      if (!dev->path_.empty()) return dev;
    }
    if (WaitForSingleObject(dev->process_, 10) == WAIT_OBJECT_0) {
      g_lastError = "r47sim exited before it was ready: " + dev->Output();
      return nullptr;
    }
  }
  g_lastError = "r47sim did not become ready: " + dev->Output();
  return nullptr;  // the destructor stops it
}

SimDevice::~SimDevice() {
  Stop();
  for (HANDLE h : {quit_, unplug_, plug_})
    if (h) CloseHandle(h);
  // Every start removes the devices of handhelds that are gone; this one removes its
  // own registration again when it stops.
  if (crashed_) Start({}, "sweep");
}

void SimDevice::Unplug() const {
  if (unplug_) SetEvent(unplug_);
}

void SimDevice::Plug() const {
  if (plug_) SetEvent(plug_);
}

bool SimDevice::Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

void SimDevice::Stop() {
  if (!process_) return;
  if (quit_) SetEvent(quit_);
  if (WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0) {
    TerminateProcess(process_, 3);
    WaitForSingleObject(process_, 5000);
  }
  CloseHandle(process_);
  process_ = nullptr;
}

void SimDevice::Crash() {
  if (!process_) return;
  crashed_ = true;
  TerminateProcess(process_, 9);
  WaitForSingleObject(process_, 10000);
  CloseHandle(process_);
  process_ = nullptr;
}

std::vector<unsigned char> SimDevice::ReadRecord(const char* file) const {
  std::string s = ReadTextFile(dir_ + "\\" + file);
  return std::vector<unsigned char>(s.begin(), s.end());
}

std::vector<unsigned char> SimDevice::ReceivedStream() const { return ReadRecord("stream.bin"); }
std::vector<unsigned char> SimDevice::CommandPacket() const { return ReadRecord("command.bin"); }
std::string SimDevice::Events() const { return ReadTextFile(dir_ + "\\events.txt"); }
std::string SimDevice::Output() const { return ReadTextFile(dir_ + "\\stdout.txt"); }

// writes.txt: "conn=N size=S" per complete write request, "conn=N size=S
// incomplete" for one the device cut off, "conn=N end bytes=T role=R" when a
// connection ends. The image is the last connection whose role starts with
// "image".
std::vector<unsigned> SimDevice::WriteSizes() const {
  std::istringstream in(ReadTextFile(dir_ + "\\writes.txt"));
  std::string line;
  std::vector<std::pair<unsigned, unsigned>> writes;  // (conn, size)
  unsigned imageConn = 0;
  while (std::getline(in, line)) {
    unsigned conn = 0, size = 0;
    char role[32] = {};
    unsigned long long bytes = 0;
    if (std::sscanf(line.c_str(), "conn=%u end bytes=%llu role=%31s", &conn, &bytes, role) == 3) {
      if (std::string(role).compare(0, 5, "image") == 0) imageConn = conn;
    } else if (line.find("incomplete") == std::string::npos &&
               std::sscanf(line.c_str(), "conn=%u size=%u", &conn, &size) == 2) {
      writes.emplace_back(conn, size);
    }
  }
  std::vector<unsigned> sizes;
  for (auto& w : writes)
    if (w.first == imageConn) sizes.push_back(w.second);
  return sizes;
}

bool SimDevice::WaitForEvent(const std::string& text, DWORD timeoutMs, size_t from) const {
  ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    std::string ev = Events();
    if (ev.size() > from && ev.find(text, from) != std::string::npos) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(10);
  }
}

bool UseSubstituteBus(std::string& error) {
  const std::wstring path = Widen(ExeDir()) + L"..\\simbus\\setupapi.dll";
  HMODULE before = GetModuleHandleW(L"setupapi.dll");
  HMODULE bus = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!bus) {
    error = "cannot load the substitute bus (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  if (before && before != bus) {
    error = "this process already uses another setupapi.dll";
    return false;
  }
  // What the program does: a load by name from System32 only.
  HMODULE named = LoadLibraryExW(L"setupapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (named != bus) {
    error = "a load of setupapi.dll from System32 does not give the substitute";
    return false;
  }
  // Wine's own DLL under our name would ignore every bus setting.
  if (!GetProcAddress(bus, "R47BusIsSubstitute")) {
    error = "the module loaded from " + std::string(path.begin(), path.end()) + " is not the substitute bus";
    return false;
  }
  return true;
}

void SetBusDevices(const std::vector<std::string>& paths) {
  std::string v;
  for (size_t i = 0; i < paths.size(); ++i) v += (i ? "|" : "") + paths[i];
  SetEnvironmentVariableA("R47BUS_DEVICES", v.empty() ? nullptr : v.c_str());
}

void SetBusClassDevsFail(bool fail) { SetEnvironmentVariableA("R47BUS_CLASSDEVS_FAIL", fail ? "1" : nullptr); }

void SetBusLog(const std::string& file) {
  SetEnvironmentVariableA("R47BUS_LOG", file.empty() ? nullptr : file.c_str());
}

}  // namespace simctl
