// kebdrive: acts on the windows of other programs on the same Wine desktop the way a
// person does: finds a window by its title, class or program, reads what it shows,
// presses its buttons, types into it and closes it. Used by the end-to-end tests.
//
//   kebdrive <command> [options]       one command, one JSON line on standard output
//   kebdrive serve                     commands from standard input, one JSON array of
//                                      strings per line (["wait","--title","x"]), one JSON
//                                      line back for each; ends at end of input or ["quit"]
//
// Exit code of a single command: 0 done, 1 usage error, 2 window/control not found
// (after waiting), 3 the action failed. Every wait is bounded by --timeout.
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: kebdrive <command> [options]   (or: kebdrive serve)\n"
    "commands:\n"
    "  list [--children]            top-level windows (with their controls)\n"
    "  procs                        processes: pid and program path\n"
    "  wait                         wait for a window; prints it with its controls\n"
    "  gone                         wait until no window matches\n"
    "  text                         text of the window or of a control\n"
    "  click [--send]               press a button (BM_CLICK; --command: WM_COMMAND to the parent)\n"
    "  settext --value S            set a control's text (WM_SETTEXT, then EN_CHANGE to the parent)\n"
    "  check --state 0|1|2          bring a check box or radio button to this state by clicking it\n"
    "  combo --item S | --item-index N   choose a combo box item (CB_SETCURSEL, CBN_SELCHANGE)\n"
    "  keys [--chars S] [--vk K,..] keystrokes: posted WM_KEYDOWN/WM_CHAR/WM_KEYUP, or with --input\n"
    "                               SendInput after SetForegroundWindow; K like RETURN, ESCAPE,\n"
    "                               CONTROL+A, 0x41\n"
    "  close                        WM_CLOSE to the window\n"
    "  rect                         window and client rectangle in screen coordinates\n"
    "  focus                        SetForegroundWindow\n"
    "window: --title RE --class RE --exe RE (program path) --pid N --hwnd H --hidden (also invisible)\n"
    "control: --id N --text RE (without '&') --cclass RE --index K (K-th match)\n"
    "--timeout MS: how long to wait for the window and control (default 5000)\n";

// ---------------------------------------------------------------------------------
// Text and JSON

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
  return s;
}

std::wstring Wide(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}

std::string Quote(const std::wstring& w) {
  std::string s = Utf8(w);
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string Num(long long v) { return std::to_string(v); }
std::string Bool(bool b) { return b ? "true" : "false"; }
std::string Rect(const RECT& r) {
  return "[" + Num(r.left) + "," + Num(r.top) + "," + Num(r.right) + "," + Num(r.bottom) + "]";
}
std::string Handle(HWND h) { return Num(static_cast<long long>(reinterpret_cast<INT_PTR>(h))); }

// Reads one line of the serve protocol: a JSON array of strings. False when malformed.
bool ParseJsonArgs(const std::string& line, std::vector<std::wstring>* out) {
  size_t i = 0;
  auto skip = [&] {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
  };
  skip();
  if (i >= line.size() || line[i] != '[') return false;
  ++i;
  skip();
  if (i < line.size() && line[i] == ']') return true;
  for (;;) {
    skip();
    if (i >= line.size() || line[i] != '"') return false;
    ++i;
    std::wstring value;
    std::string chunk;
    auto flush = [&] {
      value += Wide(chunk);
      chunk.clear();
    };
    for (;;) {
      if (i >= line.size()) return false;
      char c = line[i++];
      if (c == '"') break;
      if (c != '\\') {
        chunk += c;
        continue;
      }
      if (i >= line.size()) return false;
      char e = line[i++];
      switch (e) {
        case 'n': chunk += '\n'; break;
        case 'r': chunk += '\r'; break;
        case 't': chunk += '\t'; break;
        case 'b': chunk += '\b'; break;
        case 'f': chunk += '\f'; break;
        case 'u': {
          if (i + 4 > line.size()) return false;
          flush();
          value += static_cast<wchar_t>(std::strtoul(line.substr(i, 4).c_str(), nullptr, 16));
          i += 4;
          break;
        }
        default: chunk += e;
      }
    }
    flush();
    out->push_back(value);
    skip();
    if (i < line.size() && line[i] == ',') {
      ++i;
      continue;
    }
    if (i < line.size() && line[i] == ']') return true;
    return false;
  }
}

void WriteOut(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  std::string line = text + "\n";
  WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// ---------------------------------------------------------------------------------
// Options

struct Options {
  std::wstring command;
  std::map<std::wstring, std::wstring> values;
  std::map<std::wstring, bool> flags;

  bool Has(const wchar_t* name) const { return values.count(name) != 0; }
  std::wstring Get(const wchar_t* name, const wchar_t* def = L"") const {
    auto it = values.find(name);
    return it == values.end() ? def : it->second;
  }
  long long Int(const wchar_t* name, long long def) const {
    auto it = values.find(name);
    return it == values.end() ? def : std::wcstoll(it->second.c_str(), nullptr, 0);
  }
  bool Flag(const wchar_t* name) const { return flags.count(name) != 0; }
};

const wchar_t* const kFlags[] = {L"children", L"hidden", L"send", L"command", L"input"};

bool ParseOptions(const std::vector<std::wstring>& args, Options* o, std::string* error) {
  if (args.empty()) {
    *error = "no command";
    return false;
  }
  o->command = args[0];
  for (size_t i = 1; i < args.size(); ++i) {
    const std::wstring& a = args[i];
    if (a.size() < 3 || a.compare(0, 2, L"--") != 0) {
      *error = "unexpected argument " + Utf8(a);
      return false;
    }
    std::wstring name = a.substr(2);
    bool isFlag = false;
    for (const wchar_t* f : kFlags) isFlag = isFlag || name == f;
    if (isFlag) {
      o->flags[name] = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      *error = "option --" + Utf8(name) + " needs a value";
      return false;
    }
    o->values[name] = args[++i];
  }
  return true;
}

// ---------------------------------------------------------------------------------
// Windows and controls

std::wstring ClassOf(HWND h) {
  wchar_t buf[256];
  int n = GetClassNameW(h, buf, 256);
  return std::wstring(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// The text as the window's own procedure gives it (WM_GETTEXT, also across processes);
// the caption Windows keeps for it when the window does not answer soon: its thread is
// busy elsewhere or the window is being destroyed.
std::wstring TextOf(HWND h) {
  const UINT kAnswerMs = 300;
  DWORD_PTR len = 0;
  if (IsWindow(h) && SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kAnswerMs, &len) &&
      len < 65536) {
    std::vector<wchar_t> buf(len + 2);
    DWORD_PTR got = 0;
    if (SendMessageTimeoutW(h, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()), SMTO_ABORTIFHUNG,
                            kAnswerMs, &got))
      return std::wstring(buf.data(), got < buf.size() ? got : buf.size() - 1);
  }
  wchar_t buf[1024];
  int n = InternalGetWindowText(h, buf, 1024);
  return std::wstring(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// A button's text as a person reads it: accelerator marks removed ("&&" stays one "&").
std::wstring Readable(const std::wstring& t) {
  std::wstring out;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == L'&') {
      if (i + 1 < t.size() && t[i + 1] == L'&') out += L'&', ++i;
      continue;
    }
    out += t[i];
  }
  return out;
}

std::map<DWORD, std::wstring> exeCache;

std::wstring ExeOf(DWORD pid) {
  auto it = exeCache.find(pid);
  if (it != exeCache.end()) return it->second;
  std::wstring path;
  HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (p) {
    wchar_t buf[MAX_PATH * 2];
    DWORD n = MAX_PATH * 2;
    if (QueryFullProcessImageNameW(p, 0, buf, &n)) path.assign(buf, n);
    CloseHandle(p);
  }
  if (!path.empty()) exeCache[pid] = path;
  return path;
}

struct WindowFilter {
  bool hasTitle = false, hasClass = false, hasExe = false;
  std::wregex title, cls, exe;
  DWORD pid = 0;
  HWND hwnd = nullptr;
  bool hidden = false;
};

struct ControlFilter {
  bool any = false;
  bool hasId = false;
  int id = 0;
  bool hasText = false, hasClass = false;
  std::wregex text, cls;
  int index = 0;
};

bool MakeRegex(const std::wstring& pattern, std::wregex* re, std::string* error) {
  try {
    *re = std::wregex(pattern, std::regex::ECMAScript);
    return true;
  } catch (const std::regex_error&) {
    *error = "bad regular expression: " + Utf8(pattern);
    return false;
  }
}

bool MakeFilters(const Options& o, WindowFilter* w, ControlFilter* c, std::string* error) {
  if (o.Has(L"title") && !(w->hasTitle = MakeRegex(o.Get(L"title"), &w->title, error))) return false;
  if (o.Has(L"class") && !(w->hasClass = MakeRegex(o.Get(L"class"), &w->cls, error))) return false;
  if (o.Has(L"exe") && !(w->hasExe = MakeRegex(o.Get(L"exe"), &w->exe, error))) return false;
  w->pid = static_cast<DWORD>(o.Int(L"pid", 0));
  w->hwnd = reinterpret_cast<HWND>(static_cast<INT_PTR>(o.Int(L"hwnd", 0)));
  w->hidden = o.Flag(L"hidden");
  if (o.Has(L"id")) c->hasId = true, c->id = static_cast<int>(o.Int(L"id", 0));
  if (o.Has(L"text") && !(c->hasText = MakeRegex(o.Get(L"text"), &c->text, error))) return false;
  if (o.Has(L"cclass") && !(c->hasClass = MakeRegex(o.Get(L"cclass"), &c->cls, error))) return false;
  c->index = static_cast<int>(o.Int(L"index", 0));
  c->any = c->hasId || c->hasText || c->hasClass;
  return true;
}

bool Matches(HWND h, const WindowFilter& f) {
  if (f.hwnd && h != f.hwnd) return false;
  if (!f.hidden && !IsWindowVisible(h)) return false;
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (f.pid && pid != f.pid) return false;
  if (f.hasClass && !std::regex_search(ClassOf(h), f.cls)) return false;
  if (f.hasTitle) {
    wchar_t buf[1024];
    int n = GetWindowTextW(h, buf, 1024);
    if (!std::regex_search(std::wstring(buf, n > 0 ? static_cast<size_t>(n) : 0), f.title)) return false;
  }
  if (f.hasExe && !std::regex_search(ExeOf(pid), f.exe)) return false;
  return true;
}

std::vector<HWND> TopWindows() {
  std::vector<HWND> all;
  EnumWindows(
      [](HWND h, LPARAM p) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&all));
  return all;
}

std::vector<HWND> FindWindows(const WindowFilter& f) {
  std::vector<HWND> found;
  if (f.hwnd) {
    // A handle names its window directly, a control as well as a top-level window.
    if (IsWindow(f.hwnd) && Matches(f.hwnd, f)) found.push_back(f.hwnd);
    return found;
  }
  for (HWND h : TopWindows())
    if (Matches(h, f)) found.push_back(h);
  return found;
}

std::vector<HWND> Descendants(HWND top) {
  std::vector<HWND> all;
  EnumChildWindows(
      top,
      [](HWND h, LPARAM p) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&all));
  return all;
}

HWND FindControl(HWND top, const ControlFilter& f) {
  int seen = 0;
  for (HWND h : Descendants(top)) {
    if (f.hasId && GetDlgCtrlID(h) != f.id) continue;
    if (f.hasClass && !std::regex_search(ClassOf(h), f.cls)) continue;
    if (f.hasText && !std::regex_search(Readable(TextOf(h)), f.text)) continue;
    if (seen++ == f.index) return h;
  }
  return nullptr;
}

bool IsButtonClass(const std::wstring& cls) { return _wcsicmp(cls.c_str(), L"Button") == 0; }

// The check state of a check box or radio button; -1 for other controls.
int CheckState(HWND h, const std::wstring& cls) {
  if (!IsButtonClass(cls)) return -1;
  LONG type = GetWindowLongW(h, GWL_STYLE) & BS_TYPEMASK;
  if (type != BS_CHECKBOX && type != BS_AUTOCHECKBOX && type != BS_3STATE && type != BS_AUTO3STATE &&
      type != BS_RADIOBUTTON && type != BS_AUTORADIOBUTTON)
    return -1;
  DWORD_PTR state = 0;
  if (!SendMessageTimeoutW(h, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 2000, &state)) return -1;
  return static_cast<int>(state);
}

// The texts of a combo box's or list box's items (at most 200), as JSON; "" for other
// controls and for lists without strings.
std::string ItemsJson(HWND h, const std::wstring& cls) {
  bool combo = _wcsicmp(cls.c_str(), L"ComboBox") == 0;
  bool list = _wcsicmp(cls.c_str(), L"ListBox") == 0 || _wcsicmp(cls.c_str(), L"ComboLBox") == 0;
  if (!combo && !list) return "";
  LONG style = GetWindowLongW(h, GWL_STYLE);
  bool ownerDrawn = combo ? (style & (CBS_OWNERDRAWFIXED | CBS_OWNERDRAWVARIABLE)) && !(style & CBS_HASSTRINGS)
                          : (style & (LBS_OWNERDRAWFIXED | LBS_OWNERDRAWVARIABLE)) && !(style & LBS_HASSTRINGS);
  if (ownerDrawn) return "";
  DWORD_PTR count = 0;
  if (!SendMessageTimeoutW(h, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 300, &count)) return "";
  std::string s = ",\"items\":[";
  for (DWORD_PTR i = 0; i < count && i < 200; ++i) {
    DWORD_PTR len = 0;
    SendMessageTimeoutW(h, combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, i, 0, SMTO_ABORTIFHUNG, 300, &len);
    std::wstring text;
    if (static_cast<LRESULT>(len) >= 0 && len < 4096) {
      std::vector<wchar_t> buf(len + 2);
      DWORD_PTR got = 0;
      if (SendMessageTimeoutW(h, combo ? CB_GETLBTEXT : LB_GETTEXT, i, reinterpret_cast<LPARAM>(buf.data()),
                              SMTO_ABORTIFHUNG, 300, &got) &&
          static_cast<LRESULT>(got) >= 0)
        text.assign(buf.data(), got < buf.size() ? got : buf.size() - 1);
    }
    s += (i ? "," : "") + Quote(text);
  }
  DWORD_PTR sel = 0;
  SendMessageTimeoutW(h, combo ? CB_GETCURSEL : LB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, 300, &sel);
  return s + "],\"selected\":" + Num(static_cast<LRESULT>(sel));
}

RECT ClientOnScreen(HWND h) {
  RECT r{};
  GetClientRect(h, &r);
  POINT tl{r.left, r.top}, br{r.right, r.bottom};
  ClientToScreen(h, &tl);
  ClientToScreen(h, &br);
  return RECT{tl.x, tl.y, br.x, br.y};
}

std::string ControlJson(HWND h) {
  std::wstring cls = ClassOf(h);
  RECT r{};
  GetWindowRect(h, &r);
  std::string s = "{\"hwnd\":" + Handle(h) + ",\"id\":" + Num(GetDlgCtrlID(h)) + ",\"class\":" + Quote(cls) +
                  ",\"text\":" + Quote(TextOf(h)) + ",\"rect\":" + Rect(r) +
                  ",\"visible\":" + Bool(IsWindowVisible(h) != 0) + ",\"enabled\":" + Bool(IsWindowEnabled(h) != 0) +
                  ",\"style\":" + Num(static_cast<unsigned long>(GetWindowLongW(h, GWL_STYLE)));
  int check = CheckState(h, cls);
  if (check >= 0) s += ",\"check\":" + Num(check);
  return s + ItemsJson(h, cls) + "}";
}

std::string WindowJson(HWND h, bool children) {
  DWORD pid = 0;
  DWORD tid = GetWindowThreadProcessId(h, &pid);
  wchar_t title[1024];
  int n = GetWindowTextW(h, title, 1024);
  RECT r{};
  GetWindowRect(h, &r);
  std::string s = "{\"hwnd\":" + Handle(h) + ",\"title\":" + Quote(std::wstring(title, n > 0 ? n : 0)) +
                  ",\"class\":" + Quote(ClassOf(h)) + ",\"pid\":" + Num(pid) + ",\"tid\":" + Num(tid) +
                  ",\"exe\":" + Quote(ExeOf(pid)) + ",\"visible\":" + Bool(IsWindowVisible(h) != 0) +
                  ",\"enabled\":" + Bool(IsWindowEnabled(h) != 0) + ",\"rect\":" + Rect(r) +
                  ",\"client\":" + Rect(ClientOnScreen(h)) +
                  ",\"style\":" + Num(static_cast<unsigned long>(GetWindowLongW(h, GWL_STYLE))) +
                  ",\"exstyle\":" + Num(static_cast<unsigned long>(GetWindowLongW(h, GWL_EXSTYLE)));
  if (children) {
    s += ",\"controls\":[";
    bool first = true;
    for (HWND c : Descendants(h)) {
      s += (first ? "" : ",") + ControlJson(c);
      first = false;
    }
    s += "]";
  }
  return s + "}";
}

// ---------------------------------------------------------------------------------
// Commands

struct Result {
  int code;  // 0 done, 1 usage, 2 not found, 3 failed
  std::string json;
};

Result Error(int code, const std::string& message) { return {code, "{\"error\":" + Quote(Wide(message)) + "}"}; }

// Waits (bounded) for the first matching window and, when a control filter is given, for
// the control in it.
bool Locate(const Options& o, const WindowFilter& wf, const ControlFilter& cf, HWND* win, HWND* ctl) {
  DWORD timeout = static_cast<DWORD>(o.Int(L"timeout", 5000));
  DWORD start = GetTickCount();
  for (;;) {
    for (HWND h : FindWindows(wf)) {
      HWND c = cf.any ? FindControl(h, cf) : nullptr;
      if (!cf.any || c) {
        *win = h;
        *ctl = c;
        return true;
      }
    }
    if (GetTickCount() - start >= timeout) return false;
    Sleep(20);
  }
}

struct KeyStroke {
  std::vector<WORD> modifiers;
  WORD vk;
};

bool ParseKeys(const std::wstring& strokes, std::vector<KeyStroke>* out) {
  static const std::map<std::wstring, WORD> names = {
      {L"RETURN", VK_RETURN}, {L"ENTER", VK_RETURN},   {L"ESCAPE", VK_ESCAPE}, {L"TAB", VK_TAB},
      {L"SPACE", VK_SPACE},   {L"BACK", VK_BACK},      {L"DELETE", VK_DELETE}, {L"INSERT", VK_INSERT},
      {L"HOME", VK_HOME},     {L"END", VK_END},        {L"LEFT", VK_LEFT},     {L"RIGHT", VK_RIGHT},
      {L"UP", VK_UP},         {L"DOWN", VK_DOWN},      {L"PRIOR", VK_PRIOR},   {L"NEXT", VK_NEXT},
      {L"SHIFT", VK_SHIFT},   {L"CONTROL", VK_CONTROL}, {L"MENU", VK_MENU},    {L"ALT", VK_MENU},
      {L"LWIN", VK_LWIN},     {L"F1", VK_F1},          {L"F2", VK_F2},         {L"F3", VK_F3},
      {L"F4", VK_F4},         {L"F5", VK_F5},          {L"F6", VK_F6},         {L"F7", VK_F7},
      {L"F8", VK_F8},         {L"F9", VK_F9},          {L"F10", VK_F10},       {L"F11", VK_F11},
      {L"F12", VK_F12},       {L"PAUSE", VK_PAUSE},    {L"SNAPSHOT", VK_SNAPSHOT}};
  size_t pos = 0;
  while (pos <= strokes.size()) {
    size_t comma = strokes.find(L',', pos);
    std::wstring stroke = strokes.substr(pos, comma == std::wstring::npos ? std::wstring::npos : comma - pos);
    pos = comma == std::wstring::npos ? strokes.size() + 1 : comma + 1;
    if (stroke.empty()) continue;
    KeyStroke k{};
    size_t p = 0;
    std::vector<WORD> keys;
    while (p <= stroke.size()) {
      size_t plus = stroke.find(L'+', p);
      std::wstring name = stroke.substr(p, plus == std::wstring::npos ? std::wstring::npos : plus - p);
      p = plus == std::wstring::npos ? stroke.size() + 1 : plus + 1;
      WORD vk = 0;
      auto it = names.find(name);
      if (it != names.end())
        vk = it->second;
      else if (name.size() == 1 && ((name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'0' && name[0] <= L'9')))
        vk = static_cast<WORD>(name[0]);
      else if (name.size() > 2 && name.compare(0, 2, L"0x") == 0)
        vk = static_cast<WORD>(std::wcstoul(name.c_str(), nullptr, 16));
      if (!vk) return false;
      keys.push_back(vk);
    }
    k.vk = keys.back();
    keys.pop_back();
    k.modifiers = keys;
    out->push_back(k);
  }
  return true;
}

LPARAM KeyLParam(WORD vk, bool up) {
  UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
  LPARAM l = 1 | (static_cast<LPARAM>(scan & 0xFF) << 16);
  if (up) l |= (1LL << 30) | (1LL << 31);
  return l;
}

void AddKey(std::vector<INPUT>* in, WORD vk, bool up) {
  INPUT i{};
  i.type = INPUT_KEYBOARD;
  i.ki.wVk = vk;
  i.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
  i.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  in->push_back(i);
}

void AddChar(std::vector<INPUT>* in, wchar_t c, bool up) {
  INPUT i{};
  i.type = INPUT_KEYBOARD;
  i.ki.wScan = c;
  i.ki.dwFlags = KEYEVENTF_UNICODE | (up ? KEYEVENTF_KEYUP : 0);
  in->push_back(i);
}

// The window of that thread that has the keyboard focus, or the window itself.
HWND FocusOf(HWND top) {
  GUITHREADINFO gi{};
  gi.cbSize = sizeof gi;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &gi) && gi.hwndFocus) return gi.hwndFocus;
  return top;
}

bool WaitForeground(HWND top, DWORD ms) {
  DWORD start = GetTickCount();
  while (GetForegroundWindow() != top) {
    if (GetTickCount() - start >= ms) return false;
    Sleep(10);
  }
  return true;
}

Result Run(const Options& o) {
  std::string error;
  WindowFilter wf;
  ControlFilter cf;
  if (!MakeFilters(o, &wf, &cf, &error)) return Error(1, error);
  const std::wstring& cmd = o.command;

  if (cmd == L"list") {
    std::string s = "{\"windows\":[";
    bool first = true;
    for (HWND h : FindWindows(wf)) {
      s += (first ? "" : ",") + WindowJson(h, o.Flag(L"children"));
      first = false;
    }
    return {0, s + "]}"};
  }
  if (cmd == L"procs") {
    std::string s = "{\"procs\":[";
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap != INVALID_HANDLE_VALUE) {
      PROCESSENTRY32W pe{};
      pe.dwSize = sizeof pe;
      bool first = true;
      for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe)) {
        s += std::string(first ? "" : ",") + "{\"pid\":" + Num(pe.th32ProcessID) + ",\"parent\":" +
             Num(pe.th32ParentProcessID) + ",\"name\":" + Quote(pe.szExeFile) + ",\"exe\":" +
             Quote(ExeOf(pe.th32ProcessID)) + "}";
        first = false;
      }
      CloseHandle(snap);
    }
    return {0, s + "]}"};
  }
  if (cmd == L"ping") return {0, "{\"pong\":true}"};
  if (cmd == L"gone") {
    DWORD timeout = static_cast<DWORD>(o.Int(L"timeout", 5000));
    DWORD start = GetTickCount();
    for (;;) {
      std::vector<HWND> left = FindWindows(wf);
      if (left.empty()) return {0, "{\"gone\":true}"};
      if (GetTickCount() - start >= timeout) return {2, "{\"error\":\"still there\",\"window\":" + WindowJson(left[0], false) + "}"};
      Sleep(20);
    }
  }

  HWND win = nullptr, ctl = nullptr;
  if (cmd != L"wait" && cmd != L"text" && cmd != L"click" && cmd != L"settext" && cmd != L"check" &&
      cmd != L"combo" && cmd != L"keys" && cmd != L"close" && cmd != L"rect" && cmd != L"focus" && cmd != L"post" &&
      cmd != L"move")
    return Error(1, "unknown command " + Utf8(cmd));
  if (!Locate(o, wf, cf, &win, &ctl)) return Error(2, cf.any ? "no such window or control" : "no such window");
  HWND target = ctl ? ctl : win;

  if (cmd == L"wait") return {0, "{\"window\":" + WindowJson(win, true) + (ctl ? ",\"control\":" + ControlJson(ctl) : "") + "}"};
  if (cmd == L"text") return {0, "{\"text\":" + Quote(ctl ? TextOf(ctl) : TextOf(win)) + "}"};
  if (cmd == L"rect") {
    RECT r{};
    GetWindowRect(target, &r);
    return {0, "{\"window\":" + Rect(r) + ",\"client\":" + Rect(ClientOnScreen(target)) + "}"};
  }
  if (cmd == L"close") {
    if (!PostMessageW(win, WM_CLOSE, 0, 0)) return Error(3, "PostMessage failed");
    return {0, "{\"closed\":" + Handle(win) + "}"};
  }
  if (cmd == L"post") {
    // Any message, as another program or the system would send it (a system-menu command).
    const UINT msg = static_cast<UINT>(o.Int(L"msg", 0));
    if (!msg) return Error(1, "post needs --msg");
    if (!PostMessageW(target, msg, static_cast<WPARAM>(o.Int(L"wparam", 0)), static_cast<LPARAM>(o.Int(L"lparam", 0))))
      return Error(3, "PostMessage failed");
    return {0, "{\"posted\":" + Num(msg) + "}"};
  }
  if (cmd == L"move") {
    // Where a person drags the window to (screen coordinates), its size kept unless given.
    RECT r{};
    GetWindowRect(win, &r);
    const int w = static_cast<int>(o.Int(L"w", r.right - r.left)), h = static_cast<int>(o.Int(L"h", r.bottom - r.top));
    if (!SetWindowPos(win, nullptr, static_cast<int>(o.Int(L"x", r.left)), static_cast<int>(o.Int(L"y", r.top)), w, h,
                      SWP_NOZORDER | SWP_NOACTIVATE))
      return Error(3, "SetWindowPos failed");
    GetWindowRect(win, &r);
    return {0, "{\"rect\":" + Rect(r) + "}"};
  }
  if (cmd == L"focus") {
    SetForegroundWindow(win);
    bool ok = WaitForeground(win, static_cast<DWORD>(o.Int(L"timeout", 5000)));
    return {ok ? 0 : 3, "{\"foreground\":" + Bool(ok) + "}"};
  }
  if (!ctl && cmd != L"keys") return Error(1, "this command needs a control: --id, --text or --cclass");

  if (cmd == L"click") {
    // Described before the click: the button may be gone right after it.
    std::string before = ControlJson(ctl);
    bool ok;
    if (o.Flag(L"command")) {
      // What the button tells its parent when a person presses it.
      ok = PostMessageW(GetParent(ctl), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(ctl), BN_CLICKED),
                        reinterpret_cast<LPARAM>(ctl)) != 0;
    } else if (o.Flag(L"send")) {
      DWORD_PTR r = 0;
      ok = SendMessageTimeoutW(ctl, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &r) != 0;
    } else {
      // Posted: a click that opens a modal window must not hold this program.
      ok = PostMessageW(ctl, BM_CLICK, 0, 0) != 0;
    }
    if (!ok) return Error(3, "the click could not be delivered");
    return {0, "{\"clicked\":" + before + "}"};
  }
  if (cmd == L"settext") {
    if (!o.Has(L"value")) return Error(1, "settext needs --value");
    std::wstring v = o.Get(L"value");
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutW(ctl, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(v.c_str()), SMTO_ABORTIFHUNG, 2000, &r))
      return Error(3, "WM_SETTEXT failed");
    // Typing changes an edit control and tells its parent; WM_SETTEXT alone does not
    // tell the parent.
    if (_wcsicmp(ClassOf(ctl).c_str(), L"Edit") == 0)
      PostMessageW(GetParent(ctl), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(ctl), EN_CHANGE), reinterpret_cast<LPARAM>(ctl));
    return {0, "{\"text\":" + Quote(TextOf(ctl)) + "}"};
  }
  if (cmd == L"check") {
    int want = static_cast<int>(o.Int(L"state", 1));
    std::wstring cls = ClassOf(ctl);
    auto settle = [&](int from) {
      DWORD start = GetTickCount();
      while (CheckState(ctl, cls) == from && GetTickCount() - start < 500) Sleep(10);
    };
    // Clicking cycles the state as a person's clicks do; three-state boxes may need two.
    for (int clicks = 0; clicks < 3; ++clicks) {
      int now = CheckState(ctl, cls);
      if (now < 0) return Error(3, "not a check box or radio button");
      if (now == want) return {0, "{\"check\":" + Num(now) + "}"};
      DWORD_PTR r = 0;
      SendMessageTimeoutW(ctl, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &r);
      settle(now);
      if (CheckState(ctl, cls) == now) {
        // BM_CLICK presses at the control's (0,0): a control that Wine laid out with no
        // height (a task dialog's verification box) ignores it. Set the state and tell the
        // parent as the click would have.
        SendMessageTimeoutW(ctl, BM_SETCHECK, static_cast<WPARAM>(want), 0, SMTO_ABORTIFHUNG, 2000, &r);
        PostMessageW(GetParent(ctl), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(ctl), BN_CLICKED),
                     reinterpret_cast<LPARAM>(ctl));
        settle(now);
        break;
      }
    }
    int now = CheckState(ctl, cls);
    return {now == want ? 0 : 3, "{\"check\":" + Num(now) + "}"};
  }
  if (cmd == L"combo") {
    DWORD_PTR index = static_cast<DWORD_PTR>(CB_ERR);
    if (o.Has(L"item")) {
      std::wstring item = o.Get(L"item");
      if (!SendMessageTimeoutW(ctl, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(item.c_str()),
                               SMTO_ABORTIFHUNG, 2000, &index))
        return Error(3, "CB_FINDSTRINGEXACT failed");
    } else if (o.Has(L"item-index")) {
      index = static_cast<DWORD_PTR>(o.Int(L"item-index", 0));
    }
    if (static_cast<LRESULT>(index) == CB_ERR) return Error(3, "no such item");
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutW(ctl, CB_SETCURSEL, index, 0, SMTO_ABORTIFHUNG, 2000, &r) || static_cast<LRESULT>(r) == CB_ERR)
      return Error(3, "CB_SETCURSEL failed");
    PostMessageW(GetParent(ctl), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(ctl), CBN_SELCHANGE), reinterpret_cast<LPARAM>(ctl));
    return {0, "{\"selected\":" + Num(static_cast<long long>(r)) + ",\"text\":" + Quote(TextOf(ctl)) + "}"};
  }
  if (cmd == L"keys") {
    std::vector<KeyStroke> strokes;
    if (o.Has(L"vk") && !ParseKeys(o.Get(L"vk"), &strokes)) return Error(1, "bad --vk list");
    std::wstring chars = o.Get(L"chars");
    if (o.Flag(L"input")) {
      SetForegroundWindow(win);
      if (!WaitForeground(win, static_cast<DWORD>(o.Int(L"timeout", 5000))))
        return Error(3, "the window did not come to the foreground");
      if (ctl) SendMessageTimeoutW(ctl, WM_SETFOCUS, 0, 0, SMTO_ABORTIFHUNG, 2000, nullptr);
      std::vector<INPUT> in;
      for (const KeyStroke& k : strokes) {
        for (WORD m : k.modifiers) AddKey(&in, m, false);
        AddKey(&in, k.vk, false);
        AddKey(&in, k.vk, true);
        for (auto it = k.modifiers.rbegin(); it != k.modifiers.rend(); ++it) AddKey(&in, *it, true);
      }
      for (wchar_t c : chars) AddChar(&in, c, false), AddChar(&in, c, true);
      UINT sent = in.empty() ? 0 : SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
      return {sent == in.size() ? 0 : 3, "{\"sent\":" + Num(sent) + "}"};
    }
    HWND to = ctl ? ctl : FocusOf(win);
    int n = 0;
    for (const KeyStroke& k : strokes) {
      for (WORD m : k.modifiers) PostMessageW(to, WM_KEYDOWN, m, KeyLParam(m, false)), ++n;
      PostMessageW(to, WM_KEYDOWN, k.vk, KeyLParam(k.vk, false));
      PostMessageW(to, WM_KEYUP, k.vk, KeyLParam(k.vk, true));
      n += 2;
      for (auto it = k.modifiers.rbegin(); it != k.modifiers.rend(); ++it)
        PostMessageW(to, WM_KEYUP, *it, KeyLParam(*it, true)), ++n;
    }
    for (wchar_t c : chars) PostMessageW(to, WM_CHAR, c, 1), ++n;
    return {0, "{\"sent\":" + Num(n) + ",\"to\":" + Handle(to) + "}"};
  }
  return Error(1, "unknown command " + Utf8(cmd));
}

Result RunArgs(const std::vector<std::wstring>& args) {
  Options o;
  std::string error;
  if (!ParseOptions(args, &o, &error)) return Error(1, error);
  return Run(o);
}

int Serve() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  std::string pending;
  char buf[4096];
  for (;;) {
    size_t nl;
    while ((nl = pending.find('\n')) == std::string::npos) {
      DWORD got = 0;
      if (!ReadFile(in, buf, sizeof buf, &got, nullptr) || got == 0) return 0;
      pending.append(buf, got);
    }
    std::string line = pending.substr(0, nl);
    pending.erase(0, nl + 1);
    std::vector<std::wstring> args;
    if (!ParseJsonArgs(line, &args)) {
      WriteOut("{\"error\":\"bad request line\",\"code\":1}");
      continue;
    }
    if (args.size() == 1 && args[0] == L"quit") return 0;
    Result r = RunArgs(args);
    // The code goes into the reply as the last member.
    std::string j = r.json;
    j.insert(j.size() - 1, std::string(j.size() > 2 ? "," : "") + "\"code\":" + Num(r.code));
    WriteOut(j);
  }
}

}  // namespace

int main() {
  // Coordinates in pixels of the screen, as the screenshots have them.
  SetProcessDPIAware();
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  LocalFree(argv);
  if (args.empty() || args[0] == L"--help" || args[0] == L"help") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 1 : 0;
  }
  if (args[0] == L"serve") return Serve();
  Result r = RunArgs(args);
  WriteOut(r.json);
  if (r.code == 1) std::fputs(kUsage, stderr);
  return r.code;
}
