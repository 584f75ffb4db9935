// asioconfig.exe: the dialog that the driver's control panel starts. The window code only moves
// text between the controls and the routines of settings_store and playback_choice.
#include <windows.h>
#include <objbase.h>
#include <commctrl.h>

#include <wchar.h>

#include <miniaudio.h>

#include <shellapi.h>

#include "driver_log.h"
#include "endpoint_format.h"
#include "format_record.h"
#include "live_status.h"
#include "playback_choice.h"
#include "resource.h"
#include "settings_store.h"

namespace {

const DWORD kOfferedRates[] = {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};
const WCHAR kPlaysHere[] = L"   \x2190 the driver plays on this device";
// About twice a second: often enough to watch the periods count, rarely enough to cost nothing.
const UINT kLiveStatusMs = 500;
const size_t kMostObjectsShown = 16;

struct Field {
  int edit;
  int error;
  const SettingRange *range;
};
const Field kFields[] = {
    {IDC_LATENCY, IDC_LATENCY_ERROR, &kLatencyRange},
    {IDC_PERIODS, IDC_PERIODS_ERROR, &kPeriodsRange},
    {IDC_RATE, IDC_RATE_ERROR, &kSampleRateRange},
};

struct Dialog {
  SettingsSnapshot loaded;
  bool filling;  // the program itself is setting the fields: no change to react to
  bool hasEndpoint;  // the device the driver plays on is a Windows endpoint with this id
  EndpointId endpoint;
};

void SetNumber(HWND dialog, int id, DWORD value) {
  WCHAR text[16];
  swprintf(text, _countof(text), L"%lu", static_cast<unsigned long>(value));
  SetDlgItemTextW(dialog, id, text);
}

// Reads every field into `wanted` (starting from what was loaded) and shows each field's
// message. Returns the first field in error, or 0 when all are valid.
int ReadFields(HWND dialog, const Dialog &state, DriverSettings *wanted) {
  *wanted = state.loaded.effective;
  int firstInvalid = 0;
  for (const Field &field : kFields) {
    WCHAR text[32];
    WCHAR message[96] = L"";
    GetDlgItemTextW(dialog, field.edit, text, _countof(text));
    DWORD value = 0;
    SettingId id = field.range->id;
    if (ParseSettingText(text, *field.range, &value, message, _countof(message))) {
      wanted->values[id] = value;
      // Left as it is, an odd value stays in the key; the user should know why it reads so.
      if (value == state.loaded.effective.values[id] && state.loaded.stored[id] == StoredAs::kOtherTypeOrSize)
        wcscpy(message, L"Stored as another type; shown as the driver reads it.");
    } else if (!firstInvalid) {
      firstInvalid = field.edit;
    }
    SetDlgItemTextW(dialog, field.error, message);
  }
  // Any value but 0 is on: a checked box keeps the one stored.
  bool follow = IsDlgButtonChecked(dialog, IDC_FOLLOW_RATE) == BST_CHECKED;
  DWORD loadedFollow = state.loaded.effective.values[kSettingFollowRate];
  wanted->values[kSettingFollowRate] = follow ? (loadedFollow ? loadedFollow : 1) : 0;
  bool log = IsDlgButtonChecked(dialog, IDC_LOG) == BST_CHECKED;
  DWORD loadedLog = state.loaded.effective.values[kSettingLog];
  wanted->values[kSettingLog] = log ? (loadedLog ? loadedLog : 1) : 0;
  return firstInvalid;
}

bool DiffersFromLoaded(const Dialog &state, const DriverSettings &wanted) {
  if (!state.loaded.keyExists) return true;
  for (int i = 0; i < kSettingCount; ++i)
    if (wanted.values[i] != state.loaded.effective.values[i]) return true;
  return false;
}

void Refresh(HWND dialog, const Dialog &state) {
  DriverSettings wanted;
  int invalid = ReadFields(dialog, state, &wanted);
  WCHAR sizes[160];
  if (invalid == IDC_LATENCY)
    sizes[0] = L'\0';
  else
    DescribeBufferSizes(wanted.values[kSettingLatencyMs], sizes, _countof(sizes));
  SetDlgItemTextW(dialog, IDC_BUFFER_SIZES, sizes);
  EnableWindow(GetDlgItem(dialog, IDC_APPLY), !invalid && DiffersFromLoaded(state, wanted));
}

void FillSettings(HWND dialog, Dialog *state) {
  state->filling = true;
  SetNumber(dialog, IDC_LATENCY, state->loaded.effective.values[kSettingLatencyMs]);
  SetNumber(dialog, IDC_PERIODS, state->loaded.effective.values[kSettingThreads]);
  SetNumber(dialog, IDC_RATE, state->loaded.effective.values[kSettingSampleRate]);
  CheckDlgButton(dialog, IDC_FOLLOW_RATE, state->loaded.effective.values[kSettingFollowRate] ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(dialog, IDC_LOG, state->loaded.effective.values[kSettingLog] ? BST_CHECKED : BST_UNCHECKED);
  state->filling = false;
  Refresh(dialog, *state);
}

// The driver lies beside this program under the name its identity file is found by.
bool DriverModulePath(WCHAR (&path)[MAX_PATH]) {
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  WCHAR *slash = wcsrchr(path, L'\\');
  WCHAR *name = slash ? slash + 1 : path;
  const WCHAR kDriver[] = L"asio.dll";
  if (static_cast<size_t>(name - path) + _countof(kDriver) > MAX_PATH) return false;
  wmemcpy(name, kDriver, _countof(kDriver));
  return true;
}

// miniaudio hands the endpoints' friendly names over as UTF-8; other backends may not.
void ShowDeviceName(const char *text, WCHAR *name, size_t nameChars) {
  int capacity = static_cast<int>(nameChars);
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, name, capacity) == 0 &&
      MultiByteToWideChar(CP_ACP, 0, text, -1, name, capacity) == 0)
    name[0] = L'\0';
}

// The endpoint's default format and what it means, then the driver's record of a format it
// replaced there, if any.
void ShowEndpointFormat(HWND dialog, const Dialog &state) {
  WCHAR formatText[160] = L"";
  WCHAR advice[400] = L"";
  WCHAR replaced[400] = L"";
  ReplacedNotice notice = ReplacedNotice::kNone;
  EndpointFormat format = {};
  if (state.hasEndpoint) {
    QueryEndpointFormat(state.endpoint, &format);
    FormatRecordView record;
    InspectFormatRecord(state.endpoint, &record);
    notice = DescribeReplacedFormat(record, replaced, _countof(replaced));
  }
  if (JudgeEndpointFormat(format, formatText, _countof(formatText), advice, _countof(advice)) ==
      FormatVerdict::kConverted) {
    WCHAR warning[_countof(advice) + 16];
    swprintf(warning, _countof(warning), L"Warning: %ls", advice);
    wcscpy(advice, warning);
  }
  SetDlgItemTextW(dialog, IDC_FORMAT, formatText);
  SetDlgItemTextW(dialog, IDC_FORMAT_ADVICE, advice);
  SetDlgItemTextW(dialog, IDC_REPLACED, replaced);
  HWND putBack = GetDlgItem(dialog, IDC_PUT_BACK);
  EnableWindow(putBack, notice == ReplacedNotice::kLeft);
  ShowWindow(putBack, notice == ReplacedNotice::kNone ? SW_HIDE : SW_SHOW);
}

void FillDevices(HWND dialog, Dialog *state) {
  HWND list = GetDlgItem(dialog, IDC_DEVICES);
  WCHAR note[512];
  WCHAR modulePath[MAX_PATH];
  ma_context context;
  // The driver's init makes its context the same way: default backends, no configuration.
  if (!DriverModulePath(modulePath) || ma_context_init(nullptr, 0, nullptr, &context) != MA_SUCCESS) {
    SetDlgItemTextW(dialog, IDC_DEVICE_NOTE, L"The system's audio devices cannot be listed.");
    return;
  }
  ma_device_info *devices = nullptr;
  ma_uint32 count = 0;
  if (ma_context_get_devices(&context, &devices, &count, nullptr, nullptr) != MA_SUCCESS) count = 0;

  LPOLESTR description = nullptr;
  PlaybackChoice choice = ChoosePlaybackDevice(modulePath, devices, count, &description);
  WCHAR playedOnName[MA_MAX_DEVICE_NAME_LENGTH + 1] = L"";
  for (ma_uint32 i = 0; i < count; ++i) {
    WCHAR item[MA_MAX_DEVICE_NAME_LENGTH + _countof(kPlaysHere) + 1];
    ShowDeviceName(devices[i].name, item, MA_MAX_DEVICE_NAME_LENGTH + 1);
    if (static_cast<LONG>(i) == choice.playedOn) wcscpy(playedOnName, item);
    if (static_cast<LONG>(i) == choice.matched) wcscat(item, kPlaysHere);
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
  }
  if (choice.matched >= 0) SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(choice.matched), 0);
  DescribePlaybackChoice(choice, description ? description : L"", playedOnName, note, _countof(note));
  state->hasEndpoint = choice.playedOn >= 0 && EndpointIdOf(context, devices[choice.playedOn], state->endpoint);
  SetDlgItemTextW(dialog, IDC_DEVICE_NOTE, note);
  ShowEndpointFormat(dialog, *state);
  CoTaskMemFree(description);
  ma_context_uninit(&context);
}

// Every driver object in any process, as its status block says now. The text is replaced only when
// it changed, so that a reader's scrolling and selection stay put between refreshes.
void ShowLiveStatus(HWND dialog) {
  DriverStatusRecord records[kMostObjectsShown];
  size_t count = ReadLiveStatuses(records, _countof(records));
  static WCHAR text[kMostObjectsShown * 1024], shown[_countof(text)];
  DescribeLiveStatuses(records, count, text, _countof(text));
  GetDlgItemTextW(dialog, IDC_LIVE_STATUS, shown, _countof(shown));
  if (wcscmp(text, shown) != 0) SetDlgItemTextW(dialog, IDC_LIVE_STATUS, text);
}

void OpenLog(HWND dialog) {
  WCHAR path[MAX_PATH];
  if (DriverLogPath(path) &&
      reinterpret_cast<INT_PTR>(ShellExecuteW(dialog, L"open", path, nullptr, nullptr, SW_SHOWNORMAL)) > 32)
    return;
  MessageBoxW(dialog, L"There is no log yet: turn the log on, apply, and open the driver in a host again.",
              L"Vantrel ASIO settings", MB_OK | MB_ICONINFORMATION);
}

// Validates, then writes. False when a field is invalid (it gets the focus) or the write failed.
bool Apply(HWND dialog, Dialog *state) {
  DriverSettings wanted;
  int invalid = ReadFields(dialog, *state, &wanted);
  if (invalid) {
    MessageBeep(MB_ICONWARNING);
    HWND field = GetDlgItem(dialog, invalid);
    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(field), TRUE);
    return false;
  }
  LONG status = SaveSettings(state->loaded, wanted);
  if (status != ERROR_SUCCESS) {
    WCHAR reason[256] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(status),
                   0, reason, _countof(reason), nullptr);
    WCHAR text[400];
    swprintf(text, _countof(text), L"The settings could not be saved: %ls", reason);
    MessageBoxW(dialog, text, L"Vantrel ASIO settings", MB_OK | MB_ICONERROR);
    return false;
  }
  // What the driver will read from now on is the new baseline.
  LoadSettings(&state->loaded);
  Refresh(dialog, *state);
  return true;
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  Dialog *state = reinterpret_cast<Dialog *>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      state = reinterpret_cast<Dialog *>(lParam);
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      for (DWORD rate : kOfferedRates) {
        WCHAR text[16];
        swprintf(text, _countof(text), L"%lu", static_cast<unsigned long>(rate));
        SendDlgItemMessageW(dialog, IDC_RATE, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
      }
      SendDlgItemMessageW(dialog, IDC_LATENCY, EM_SETLIMITTEXT, 10, 0);
      SendDlgItemMessageW(dialog, IDC_PERIODS, EM_SETLIMITTEXT, 10, 0);
      SendDlgItemMessageW(dialog, IDC_RATE, CB_LIMITTEXT, 10, 0);
      FillSettings(dialog, state);
      FillDevices(dialog, state);
      ShowLiveStatus(dialog);
      SetTimer(dialog, IDT_LIVE_STATUS, kLiveStatusMs, nullptr);
      return TRUE;  // the first field gets the focus
    }
    case WM_TIMER:
      if (wParam == IDT_LIVE_STATUS) ShowLiveStatus(dialog);
      return TRUE;
    case WM_COMMAND: {
      if (!state) return FALSE;
      int id = LOWORD(wParam);
      int code = HIWORD(wParam);
      if ((id == IDC_LATENCY || id == IDC_PERIODS) && code == EN_CHANGE && !state->filling) {
        Refresh(dialog, *state);
      } else if (id == IDC_RATE && (code == CBN_EDITCHANGE || code == CBN_SELENDOK) && !state->filling) {
        // A choice from the list reaches the edit part only after this notification.
        if (code == CBN_SELENDOK) {
          LRESULT index = SendDlgItemMessageW(dialog, IDC_RATE, CB_GETCURSEL, 0, 0);
          WCHAR text[16];
          if (index >= 0 && SendDlgItemMessageW(dialog, IDC_RATE, CB_GETLBTEXTLEN, index, 0) <
                                static_cast<LRESULT>(_countof(text))) {
            SendDlgItemMessageW(dialog, IDC_RATE, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
            SetDlgItemTextW(dialog, IDC_RATE, text);
          }
        }
        Refresh(dialog, *state);
      } else if ((id == IDC_FOLLOW_RATE || id == IDC_LOG) && code == BN_CLICKED && !state->filling) {
        Refresh(dialog, *state);
      } else if (id == IDC_OPEN_LOG && code == BN_CLICKED) {
        OpenLog(dialog);
      } else if (id == IDC_PUT_BACK && code == BN_CLICKED) {
        if (state->hasEndpoint) PutBackEndpointFormat(state->endpoint);
        ShowEndpointFormat(dialog, *state);
      } else if (id == IDC_APPLY && code == BN_CLICKED) {
        Apply(dialog, state);
      } else if (id == IDOK && code == BN_CLICKED) {
        if (Apply(dialog, state)) EndDialog(dialog, IDOK);
      } else if (id == IDCANCEL && code == BN_CLICKED) {
        EndDialog(dialog, IDCANCEL);
      }
      return TRUE;
    }
  }
  return FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  // The endpoint's property store is read through COM on this thread.
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  // A format that a host which went without closing the driver left on an endpoint goes back
  // first, as the driver's init does it.
  SettleFormatRecords();
  Dialog state = {};
  LoadSettings(&state.loaded);
  INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_SETTINGS), nullptr, DialogProc,
                                   reinterpret_cast<LPARAM>(&state));
  if (SUCCEEDED(com)) CoUninitialize();
  return result == -1 ? 1 : 0;
}
