// The desktop synchronisation service's registry value: while it claims USB the
// connection warning opens instead of any device call. These change the shared
// prefix's registry, so they run alone (RUN_SERIAL) and put it back afterwards.
#include "device_scenario.h"

namespace e2e {
namespace {

const wchar_t kKey[] = L"Software\\Microsoft\\Windows CE Services";
const wchar_t kValue[] = L"ConnectTypesAllowed";

// Sets (or removes) the value for one case and restores what was there before, also
// when the case fails.
class RegistryValue {
 public:
  explicit RegistryValue(const DWORD* value) {
    HKEY key;
    keyExisted_ = RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (keyExisted_) {
      DWORD size = sizeof(old_);
      hadValue_ =
          RegQueryValueExW(key, kValue, nullptr, &oldType_, reinterpret_cast<BYTE*>(&old_), &size) == ERROR_SUCCESS;
      RegCloseKey(key);
    }
    if (!value) {
      if (keyExisted_) RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, kValue);
      return;
    }
    RegSetKeyValueW(HKEY_CURRENT_USER, kKey, kValue, REG_DWORD, value, sizeof(*value));
  }
  ~RegistryValue() {
    if (hadValue_)
      RegSetKeyValueW(HKEY_CURRENT_USER, kKey, kValue, oldType_, &old_, sizeof(old_));
    else
      RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, kValue);
    if (!keyExisted_) RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
  }

 private:
  bool keyExisted_ = false, hadValue_ = false;
  DWORD old_ = 0, oldType_ = REG_DWORD;
};

class SyncWarning : public DeviceScenario {
 protected:
  void SetUp() override {
    folder_.Write(kOsName, OsImage(300007));
    folder_.Write(kBootName, BootImage(100000));
    work_.Write(L"version.ver", VersionFileText(1, 3));
  }
  // Starts a fresh program with a fresh device for one case.
  void Begin() {
    program_.reset();
    if (device_) device_->Stop();
    StartDevice({"--version", "0x0103"});
    StartProgram();
  }
};

struct ClaimCase {
  DWORD value;
  UINT closeMessage;  // how the user closes the warning
  const char* how;
};

TEST_F(SyncWarning, ClaimingValuesOpenTheWarningInsteadOfAnyDeviceCall) {
  const ClaimCase cases[] = {{8, WM_CLOSE, "close message"}, {12, WM_SYSCOMMAND, "close box"}};
  for (const ClaimCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.value) + ", closed by its " + c.how);
    RegistryValue registry(&c.value);
    Begin();
    TickAndUpdate();

    HWND warning = nullptr;
    ASSERT_TRUE(ProgramRun::WaitUntil(
        [&] { return (warning = program_->FindDialog(L"Error")) != nullptr && !IsMessageBox(warning); }, kShortWait))
        << "no connection warning";
    EXPECT_EQ(program_->Text(kStatus), L"Die Datei wird heruntergeladen... Bitte warten...");
    EXPECT_FALSE(program_->Enabled(kUpdate));
    EXPECT_FALSE(program_->Enabled(kExit));
    program_->Settle();
    SaveScreenshot(L"e2e-connection-warning", program_->Window(), {warning});

    if (c.closeMessage == WM_SYSCOMMAND)
      PostMessageW(warning, WM_SYSCOMMAND, SC_CLOSE, 0);
    else
      PostMessageW(warning, WM_CLOSE, 0, 0);
    EXPECT_TRUE(
        program_->WaitForText(kStatus,
                              L"ActiveSync benutzt weiterhin eine USB-Verbindung.  Schalten Sie sie bitte im Fenster "
                              L"Verbindungseinstellungen aus.",
                              kShortWait));
    EXPECT_TRUE(ProgramRun::WaitUntil([&] { return !IsWindow(warning); }, kShortWait));
    for (int id : {kAcknowledge, kUpdate, kExit, kNotes, kReadme}) EXPECT_TRUE(program_->Enabled(id)) << id;
    EXPECT_EQ(device_->Events().find("PIPE0"), std::string::npos) << "the device was consulted";

    ASSERT_TRUE(program_->Click(kExit));
    ExpectEndsWithZero();
  }
}

TEST_F(SyncWarning, OtherValuesAndNoValueLetTheUpdateGoOn) {
  const DWORD nine = 9;
  const struct {
    const char* name;
    const DWORD* value;
  } cases[] = {{"value 9", &nine}, {"no value", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RegistryValue registry(c.value);
    Begin();
    TickAndUpdate();
    // The first version query reaches the device; no warning came up before it.
    EXPECT_TRUE(device_->WaitForEvent("PIPE00: open", kShortWait)) << device_->Events();
    EXPECT_EQ(program_->FindDialog(L"Error"), nullptr);
  }
}

TEST_F(SyncWarning, WithoutTheKeyTheUpdateGoesOn) {
  RegistryValue registry(nullptr);
  RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
  Begin();
  TickAndUpdate();
  EXPECT_TRUE(device_->WaitForEvent("PIPE00: open", kShortWait)) << device_->Events();
  EXPECT_EQ(program_->FindDialog(L"Error"), nullptr);
}

}  // namespace
}  // namespace e2e
