// Drives a running asioconfig.exe through its controls, one step per run, for the Wine scenario
// script: the script reads the registry between the steps.
//   dialog_driver wait SECONDS          the dialog is up; prints the program's image path
//   dialog_driver gone SECONDS          the dialog has closed
//   dialog_driver set FIELD TEXT        types TEXT into latency, periods or rate
//   dialog_driver get CONTROL           prints a control's text
//   dialog_driver enabled CONTROL       exit 0 when the control is enabled, 3 when not
//   dialog_driver checked CONTROL       exit 0 when the check box is checked, 3 when not
//   dialog_driver click BUTTON          apply, ok, cancel, follow or log
//   dialog_driver keys KEY...           presses keys on the keyboard, the dialog in front: tab,
//                                       enter, esc, alt+LETTER, or text:CHARACTERS
// Exit codes: 0 done, 1 no dialog, 2 bad arguments, 3 not enabled.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "resource.h"

namespace {

const WCHAR kTitle[] = L"Vantrel ASIO settings";

struct Control {
  const char *name;
  int id;
};
const Control kControls[] = {
    {"latency", IDC_LATENCY},         {"latency-error", IDC_LATENCY_ERROR}, {"sizes", IDC_BUFFER_SIZES},
    {"periods", IDC_PERIODS},         {"periods-error", IDC_PERIODS_ERROR}, {"rate", IDC_RATE},
    {"rate-error", IDC_RATE_ERROR},   {"devices", IDC_DEVICES},             {"device-note", IDC_DEVICE_NOTE},
    {"format", IDC_FORMAT},           {"advice", IDC_FORMAT_ADVICE},        {"when", IDC_WHEN},
    {"apply", IDC_APPLY},             {"ok", IDOK},                         {"cancel", IDCANCEL},
    {"follow", IDC_FOLLOW_RATE},      {"follow-note", IDC_FOLLOW_NOTE},     {"replaced", IDC_REPLACED},
    {"put-back", IDC_PUT_BACK},       {"live-status", IDC_LIVE_STATUS},     {"log", IDC_LOG},
    {"open-log", IDC_OPEN_LOG},
};

HWND FindDialog(int seconds) {
  for (int waited = 0; waited <= seconds * 10; ++waited) {
    HWND dialog = FindWindowW(L"#32770", kTitle);
    if (dialog) return dialog;
    Sleep(100);
  }
  return nullptr;
}

HWND FindControl(HWND dialog, const char *name) {
  for (const Control &control : kControls)
    if (strcmp(control.name, name) == 0) return GetDlgItem(dialog, control.id);
  return nullptr;
}

void AddKey(INPUT *inputs, int *count, WORD vk, WORD scan, DWORD flags) {
  INPUT &input = inputs[(*count)++];
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = vk;
  input.ki.wScan = scan;
  input.ki.dwFlags = flags;
}

// One key token as key-down and key-up events. False for a token it does not know.
bool PressKey(const char *token) {
  INPUT inputs[256] = {};
  int count = 0;
  if (strncmp(token, "text:", 5) == 0) {
    for (const char *c = token + 5; *c && count + 2 <= static_cast<int>(_countof(inputs)); ++c) {
      AddKey(inputs, &count, 0, static_cast<WORD>(*c), KEYEVENTF_UNICODE);
      AddKey(inputs, &count, 0, static_cast<WORD>(*c), KEYEVENTF_UNICODE | KEYEVENTF_KEYUP);
    }
  } else if (strncmp(token, "alt+", 4) == 0 && token[4] && !token[5]) {
    WORD letter = static_cast<WORD>(token[4] >= 'a' && token[4] <= 'z' ? token[4] - 'a' + 'A' : token[4]);
    AddKey(inputs, &count, VK_MENU, 0, 0);
    AddKey(inputs, &count, letter, 0, 0);
    AddKey(inputs, &count, letter, 0, KEYEVENTF_KEYUP);
    AddKey(inputs, &count, VK_MENU, 0, KEYEVENTF_KEYUP);
  } else {
    WORD vk = strcmp(token, "tab") == 0 ? VK_TAB : strcmp(token, "enter") == 0 ? VK_RETURN
            : strcmp(token, "esc") == 0 ? VK_ESCAPE : 0;
    if (!vk) return false;
    AddKey(inputs, &count, vk, 0, 0);
    AddKey(inputs, &count, vk, 0, KEYEVENTF_KEYUP);
  }
  SendInput(static_cast<UINT>(count), inputs, sizeof(INPUT));
  // Let the dialog's thread take each key before the next, as a person's typing would.
  Sleep(150);
  return true;
}

void PrintUtf8(const WCHAR *text) {
  char utf8[2048];
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr) > 0) printf("%s\n", utf8);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  const char *command = argv[1];
  const char *argument = argc > 2 ? argv[2] : "";
  if (strcmp(command, "gone") == 0) {
    int seconds = atoi(argument);
    for (int waited = 0; waited <= seconds * 10; ++waited) {
      if (!FindWindowW(L"#32770", kTitle)) return 0;
      Sleep(100);
    }
    return 1;
  }
  HWND dialog = FindDialog(strcmp(command, "wait") == 0 ? atoi(argument) : 10);
  if (!dialog) {
    fprintf(stderr, "dialog_driver: no window titled \"Vantrel ASIO settings\"\n");
    return 1;
  }
  if (strcmp(command, "wait") == 0) {
    DWORD pid = 0;
    GetWindowThreadProcessId(dialog, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    WCHAR image[MAX_PATH] = L"";
    DWORD size = _countof(image);
    if (process) {
      QueryFullProcessImageNameW(process, 0, image, &size);
      CloseHandle(process);
    }
    PrintUtf8(image);
    return 0;
  }
  if (strcmp(command, "keys") == 0) {
    SetForegroundWindow(dialog);
    Sleep(200);
    for (int i = 2; i < argc; ++i)
      if (!PressKey(argv[i])) return 2;
    return 0;
  }
  HWND control = FindControl(dialog, argument);
  if (!control) return 2;
  if (strcmp(command, "set") == 0 && argc == 4) {
    WCHAR text[256];
    if (MultiByteToWideChar(CP_UTF8, 0, argv[3], -1, text, _countof(text)) == 0) return 2;
    // As a person would: focus the field, select what is there, and type over it.
    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    HWND edit = control;
    COMBOBOXINFO combo = {};
    combo.cbSize = sizeof(combo);
    if (GetComboBoxInfo(control, &combo) && combo.hwndItem) edit = combo.hwndItem;
    SendMessageW(edit, EM_SETSEL, 0, -1);
    SendMessageW(edit, WM_CHAR, VK_BACK, 0);
    for (const WCHAR *c = text; *c; ++c) SendMessageW(edit, WM_CHAR, *c, 0);
    return 0;
  }
  if (strcmp(command, "get") == 0) {
    WCHAR text[4096] = L"";
    if (control == GetDlgItem(dialog, IDC_DEVICES)) {
      LRESULT count = SendMessageW(control, LB_GETCOUNT, 0, 0);
      for (LRESULT i = 0; i < count; ++i) {
        if (SendMessageW(control, LB_GETTEXTLEN, i, 0) >= static_cast<LRESULT>(_countof(text))) continue;
        SendMessageW(control, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
        PrintUtf8(text);
      }
      return 0;
    }
    SendMessageW(control, WM_GETTEXT, _countof(text), reinterpret_cast<LPARAM>(text));
    PrintUtf8(text);
    return 0;
  }
  if (strcmp(command, "enabled") == 0) return IsWindowEnabled(control) ? 0 : 3;
  if (strcmp(command, "checked") == 0) return SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? 0 : 3;
  if (strcmp(command, "click") == 0) {
    if (!IsWindowEnabled(control)) return 3;
    // Posted, since OK and Cancel end the dialog before a sent message would return.
    PostMessageW(control, BM_CLICK, 0, 0);
    return 0;
  }
  return 2;
}
