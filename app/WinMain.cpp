// The entry point: DPI awareness, a safe DLL search path, the language module and the
// UI texts, the application object, the first connection and the message loop.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "app/Exception.h"
#include "app/KEBviewerApp.h"
#include "app/Log.h"
#include "app/UiTextWin32.h"
#include "app/UserInterfaceWin32.h"
#include "display/HotKeysWin32.h"
#include "rdr/Exception.h"

namespace {

void MakeDpiAware() {
  HMODULE user32 = LoadLibraryA("user32.dll");
  HMODULE shcore = LoadLibraryA("SHCORE.DLL");
  using SetAwareFn = BOOL(WINAPI*)();
  using SetContextFn = BOOL(WINAPI*)(HANDLE);
  using SetAwarenessFn = HRESULT(WINAPI*)(int);
  auto setAware = user32 ? reinterpret_cast<SetAwareFn>(GetProcAddress(user32, "SetProcessDPIAware")) : nullptr;
  auto setContext = user32 ? reinterpret_cast<SetContextFn>(GetProcAddress(user32, "SetProcessDpiAwarenessContext"))
                           : nullptr;
  auto setAwareness =
      shcore ? reinterpret_cast<SetAwarenessFn>(GetProcAddress(shcore, "SetProcessDpiAwareness")) : nullptr;
  bool done = setContext && setContext(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)));  // per monitor v2
  if (!done) done = setAwareness && setAwareness(2) == 0;                                     // per monitor
  if (!done && setAware) setAware();
  if (user32) FreeLibrary(user32);
  if (shcore) FreeLibrary(shcore);
}

void RestrictDllSearchPath() {
  // Takes the current directory out of the search path. Every 64-bit Windows has
  // SetDllDirectoryA; the old registry fallback (a machine-wide SafeDllSearchMode
  // change) is not made: it would weaken DLL search for every program.
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  using SetDllDirFn = BOOL(WINAPI*)(LPCSTR);
  auto setDllDir = kernel ? reinterpret_cast<SetDllDirFn>(GetProcAddress(kernel, "SetDllDirectoryA")) : nullptr;
  if (setDllDir)
    setDllDir("");
  else
    kebLog.Print(3, "SetDllDirectoryA is missing; the DLL search path is left as it is\n");
}

HINSTANCE LoadLanguageModule(HINSTANCE self) {
  char path[MAX_PATH + 16];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return self;
  char* slash = std::strrchr(path, '\\');
  if (!slash) return self;
  std::strcpy(slash, "\\keblang.dll");
  HMODULE lang = LoadLibraryA(path);
  return lang ? static_cast<HINSTANCE>(lang) : self;
}

int RunMessageLoop() {
  MSG msg;
  for (;;) {
    BOOL r = GetMessageA(&msg, nullptr, 0, 0);
    if (r == 0) return static_cast<int>(msg.wParam);
    if (r == -1) return 1;
    if (g_accelKeys.Translate(&msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void ReportUnlessShown(const Exception& e) {
  if (!g_errorBoxShown) e.Report();
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR cmdline, int) {
  g_guiThreadId = GetCurrentThreadId();
  InstallWin32UserInterface();
  MakeDpiAware();
  setvbuf(stderr, nullptr, _IONBF, 0);
  RestrictDllSearchPath();
  HINSTANCE resources = LoadLanguageModule(instance);
  if (!cmdline || cmdline[0] == '\0') g_commandLineGiven = false;
  LoadUiTexts(resources);

  int code = 0;
  KEBviewerApp32* app = nullptr;
  bool console = false;
  try {
    app = new KEBviewerApp32(resources, cmdline ? cmdline : "");
    console = app->m_options.m_logToConsole;
    if (!app->m_options.m_listening) {
      if (app->m_options.m_host_options[0])
        app->NewConnection(false, app->m_options.m_host_options, app->m_options.m_port);
      else
        app->NewConnection(false);
    }
    code = RunMessageLoop();
  } catch (const Exception& e) {
    ReportUnlessShown(e);
  } catch (const rdr::Exception& e) {
    ReportUnlessShown(ErrorException(e.str()));
  } catch (const std::bad_alloc&) {
    ReportUnlessShown(ErrorException("Out of memory"));
  } catch (...) {
    ReportUnlessShown(ErrorException("Unexpected error"));
  }

  kebLog.Print(3, "Exiting\n");
  if (console) Sleep(2000);
  try {
    delete app;
  } catch (...) {
  }
  return code;
}
