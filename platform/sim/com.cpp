// COM task memory (with injectable failures and a count of live blocks), CLSID text, and each
// thread's apartment with its count of initialisations.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

#include <objbase.h>

#include "sim/machine.h"

extern "C" const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
extern "C" const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

namespace {

std::atomic<int> apartmentFaults{0};
// Threads that are in the multithreaded apartment: while there are any, it exists.
std::atomic<int> multithreadedThreads{0};

struct ThreadApartment {
  int type = APTTYPE_CURRENT;
  ULONG count = 0;
  ThreadApartment() = default;
  ThreadApartment(const ThreadApartment &) = delete;
  ThreadApartment &operator=(const ThreadApartment &) = delete;
  ~ThreadApartment() {
    if (count == 0) return;
    std::fprintf(stderr, "stand-in: a thread ended with COM still initialised (%lu)\n", static_cast<unsigned long>(count));
    ++apartmentFaults;
    if (type == APTTYPE_MTA) --multithreadedThreads;
  }
};
thread_local ThreadApartment threadApartment;

struct TaskMemory {
  std::mutex lock;
  std::set<void *> live;
  int failAfter = -1;
};

TaskMemory &Task() {
  static TaskMemory memory;
  return memory;
}

void ResetCom() {
  auto &t = Task();
  std::lock_guard<std::mutex> guard(t.lock);
  for (void *p : t.live) std::free(p);
  t.live.clear();
  t.failAfter = -1;
  apartmentFaults = 0;
}
sim::ResetRegistration registration(ResetCom);

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Parses exactly "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
bool ParseGuid(const wchar_t *text, GUID *guid) {
  static const char kShape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  uint8_t bytes[16];
  int nibble = 0;
  for (size_t i = 0; i < sizeof(kShape) - 1; ++i) {
    wchar_t c = text[i];
    if (c == L'\0') return false;
    if (kShape[i] == 'X') {
      int d = HexDigit(c);
      if (d < 0) return false;
      if (nibble % 2 == 0)
        bytes[nibble / 2] = static_cast<uint8_t>(d << 4);
      else
        bytes[nibble / 2] = static_cast<uint8_t>(bytes[nibble / 2] | d);
      ++nibble;
    } else if (c != static_cast<wchar_t>(kShape[i])) {
      return false;
    }
  }
  if (text[sizeof(kShape) - 1] != L'\0') return false;
  guid->Data1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
  guid->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  guid->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = bytes[8 + i];
  return true;
}


}  // namespace

namespace sim {
int ComApartmentFaults() { return apartmentFaults; }
void FailTaskAllocAfter(int successes) {
  std::lock_guard<std::mutex> guard(Task().lock);
  Task().failAfter = successes;
}
int LiveTaskAllocations() {
  std::lock_guard<std::mutex> guard(Task().lock);
  return static_cast<int>(Task().live.size());
}
}  // namespace sim

extern "C" {

LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T size) {
  auto &t = Task();
  std::lock_guard<std::mutex> guard(t.lock);
  if (t.failAfter == 0) return nullptr;
  if (t.failAfter > 0) --t.failAfter;
  void *p = std::malloc(size ? size : 1);
  if (p) t.live.insert(p);
  return p;
}

void STDAPICALLTYPE CoTaskMemFree(LPVOID memory) {
  if (!memory) return;
  auto &t = Task();
  std::lock_guard<std::mutex> guard(t.lock);
  if (!t.live.erase(memory)) sim::Unimplemented("CoTaskMemFree of a block that is not live (double free?)");
  std::free(memory);
}

HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
  if (!clsid) return E_INVALIDARG;
  *clsid = GUID{};
  if (!text) return S_OK;
  if (text[0] == L'{') return ParseGuid(text, clsid) ? S_OK : CO_E_CLASSSTRING;
  // Not braced: COM takes the text as a ProgID and looks up its CLSID.
  std::vector<uint8_t> data;
  DWORD type = 0;
  if (!sim::GetRegValue(HKEY_CLASSES_ROOT, std::wstring(text) + L"\\CLSID", L"", &type, &data) || type != REG_SZ)
    return CO_E_CLASSSTRING;
  std::wstring value;
  for (size_t i = 0; i + 1 < data.size(); i += 2) value.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  while (!value.empty() && value.back() == L'\0') value.pop_back();
  return ParseGuid(value.c_str(), clsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT STDAPICALLTYPE StringFromCLSID(REFCLSID clsid, LPOLESTR *text) {
  if (!text) return E_INVALIDARG;
  *text = nullptr;
  WCHAR buffer[40];
  swprintf(buffer, _countof(buffer), L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
           static_cast<unsigned>(clsid.Data1), clsid.Data2, clsid.Data3, clsid.Data4[0], clsid.Data4[1],
           clsid.Data4[2], clsid.Data4[3], clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
  size_t length = wcslen(buffer) + 1;
  LPOLESTR out = static_cast<LPOLESTR>(CoTaskMemAlloc(length * sizeof(WCHAR)));
  if (!out) return E_OUTOFMEMORY;
  wmemcpy(out, buffer, length);
  *text = out;
  return S_OK;
}

HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID, DWORD coInit) {
  ThreadApartment &apartment = threadApartment;
  int wanted = (coInit & COINIT_APARTMENTTHREADED) ? APTTYPE_STA : APTTYPE_MTA;
  if (apartment.count == 0) {
    apartment.type = wanted;
    apartment.count = 1;
    if (wanted == APTTYPE_MTA) ++multithreadedThreads;
    return S_OK;
  }
  // A thread stays in the apartment it entered first; asking for the other takes no reference.
  if (apartment.type != wanted) return RPC_E_CHANGED_MODE;
  ++apartment.count;
  return S_FALSE;
}

HRESULT STDAPICALLTYPE CoInitialize(LPVOID reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

void STDAPICALLTYPE CoUninitialize(void) {
  ThreadApartment &apartment = threadApartment;
  if (apartment.count == 0) {
    std::fprintf(stderr, "stand-in: CoUninitialize on a thread without a matching initialisation\n");
    ++apartmentFaults;
    return;
  }
  if (--apartment.count == 0 && apartment.type == APTTYPE_MTA) --multithreadedThreads;
}

HRESULT STDAPICALLTYPE CoGetApartmentType(APTTYPE *type, APTTYPEQUALIFIER *qualifier) {
  if (!type || !qualifier) return E_INVALIDARG;
  const ThreadApartment &apartment = threadApartment;
  *qualifier = APTTYPEQUALIFIER_NONE;
  if (apartment.count > 0) {
    *type = static_cast<APTTYPE>(apartment.type);
    return S_OK;
  }
  // A thread that never entered an apartment belongs to the multithreaded one implicitly while
  // some other thread holds it open.
  if (multithreadedThreads > 0) {
    *type = APTTYPE_MTA;
    *qualifier = APTTYPEQUALIFIER_IMPLICIT_MTA;
    return S_OK;
  }
  *type = APTTYPE_CURRENT;
  return CO_E_NOTINITIALIZED;
}

}  // extern "C"
