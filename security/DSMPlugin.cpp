#include "security/DSMPlugin.h"

#include <cstdio>
#include <cstring>

#include "app/Log.h"
#include "app/UiText.h"
#include "app/UserInterface.h"
#include "resources/StringIds.h"

namespace {

// Keeps at most size - 1 characters, as the fixed fields of the description hold.
std::string Field(const std::string& s, std::size_t size) { return s.substr(0, size - 1); }

template <typename Fn>
Fn Slot(DSMPluginInterface* o, int slot) {
  return reinterpret_cast<Fn>(o->vtable[slot]);
}

bool FileExists(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

}  // namespace

bool IsPluginDllX64(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  bool ok = false;
  std::uint8_t head[0x40];
  if (std::fread(head, 1, sizeof head, f) == sizeof head && head[0] == 0x4D && head[1] == 0x5A) {
    const std::uint32_t at = head[0x3C] | (head[0x3D] << 8) | (head[0x3E] << 16) | (std::uint32_t(head[0x3F]) << 24);
    std::uint8_t pe[6];
    // The offset is the file's own: a value beyond its end simply finds nothing.
    if (at <= 0x7FFFFFFF && std::fseek(f, static_cast<long>(at), SEEK_SET) == 0 &&
        std::fread(pe, 1, sizeof pe, f) == sizeof pe)
      ok = std::memcmp(pe, "PE\0\0", 4) == 0 && pe[4] == 0x64 && pe[5] == 0x86;
  }
  std::fclose(f);
  return ok;
}

CDSMPlugin::CDSMPlugin(PluginLibrarySystem& sys) : m_sys(sys) {}

CDSMPlugin::~CDSMPlugin() {
  if (m_library) UnloadPlugin();
}

void CDSMPlugin::DropLibrary() {
  if (m_library) m_sys.Free(m_library);
  m_library = nullptr;
  m_libraryName.clear();
  m_exports = DSMPluginExports();
  if (!m_tempCopy.empty()) m_sys.RemoveFile(m_tempCopy);
  m_tempCopy.clear();
}

bool CDSMPlugin::LoadPlugin(const char* fileName, bool useTempCopy) {
  std::lock_guard<std::mutex> g(m_lock);
  const std::string name = fileName ? fileName : "";
  if (m_library) {
    // A library whose Shutdown kept it in memory serves again for the same file.
    m_loaded = name == m_libraryName;
    return m_loaded;
  }
  if (name.empty()) return false;
  const std::string folder = m_sys.ProgramFolder();
  if (useTempCopy) {
    std::string temp = m_sys.TempFolder();
    if (temp.empty()) temp = folder;
    // A copy in use by another viewer cannot be replaced: the next number is tried.
    const std::string stem = name.size() > 4 ? name.substr(0, name.size() - 4) : name;
    std::string copy;
    for (int i = 1; i <= 99 && copy.empty(); i++) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, "-tmp.d%d", i);
      const std::string target = temp + stem + suffix;
      if (m_sys.CopyFileTo(folder + name, target)) copy = target;
    }
    if (copy.empty()) {
      kebLog.Print(0, "Plugin %s cannot be copied to %s\n", name.c_str(), temp.c_str());
      return false;
    }
    m_tempCopy = copy;
    if (!IsPluginDllX64(copy)) {
      DropLibrary();
      UI().ShowMessage(UiText(IDS_PLUGIN_COPY_WRONG_ARCH), UiText(IDS_PLUGIN_CAPTION), MessageIcon::Error);
      return false;
    }
    m_library = m_sys.Load(copy);
  } else {
    m_library = m_sys.Load(name);
    if (!m_library) {
      const std::string path = folder + name;
      // A file that is not there is no library of the wrong architecture either.
      if (!FileExists(path)) {
        kebLog.Print(0, "Plugin %s not found\n", name.c_str());
        return false;
      }
      if (!IsPluginDllX64(path)) {
        UI().ShowMessage(UiText(IDS_PLUGIN_WRONG_ARCH), UiText(IDS_PLUGIN_CAPTION), MessageIcon::Error);
        return false;
      }
      m_library = m_sys.Load(path);
    }
  }
  if (!m_library || !ResolveExports()) {
    kebLog.Print(0, "Plugin %s cannot be loaded\n", name.c_str());
    DropLibrary();
    return false;
  }
  m_libraryName = name;
  m_loaded = true;
  return true;
}

bool CDSMPlugin::ResolveExports() {
  DSMPluginExports e;
  auto get = [this](const char* n) { return m_sys.Resolve(m_library, n); };
  e.description = reinterpret_cast<DSMDescriptionFn>(get("Description"));
  e.startup = reinterpret_cast<DSMStartupFn>(get("Startup"));
  e.shutdown = reinterpret_cast<DSMShutdownFn>(get("Shutdown"));
  e.setParams = reinterpret_cast<DSMSetParamsFn>(get("SetParams"));
  e.getParams = reinterpret_cast<DSMGetParamsFn>(get("GetParams"));
  e.transformBuffer = reinterpret_cast<DSMTransformBufferFn>(get("TransformBuffer"));
  e.restoreBuffer = reinterpret_cast<DSMRestoreBufferFn>(get("RestoreBuffer"));
  e.freeBuffer = reinterpret_cast<DSMFreeBufferFn>(get("FreeBuffer"));
  e.reset = reinterpret_cast<DSMResetFn>(get("Reset"));
  e.createInterface = reinterpret_cast<DSMCreatePluginInterfaceFn>(get("CreatePluginInterface"));
  e.createIntegrated = reinterpret_cast<DSMCreateIntegratedPluginInterfaceFn>(get("CreateIntegratedPluginInterface"));
  e.config = reinterpret_cast<DSMConfigFn>(get("Config"));
  if (!e.description || !e.startup || !e.shutdown || !e.setParams || !e.getParams || !e.transformBuffer ||
      !e.restoreBuffer || !e.freeBuffer || !e.reset || !e.createInterface || !e.createIntegrated || !e.config)
    return false;
  m_exports = e;
  return true;
}

bool CDSMPlugin::UnloadPlugin() {
  std::lock_guard<std::mutex> g(m_lock);
  if (!m_library) return false;
  {
    std::lock_guard<std::mutex> t(m_transformLock);
    if (m_lastTransformed) m_exports.freeBuffer(m_lastTransformed);
    if (m_lastRestored && m_lastRestored != m_lastTransformed) m_exports.freeBuffer(m_lastRestored);
    m_lastTransformed = m_lastRestored = nullptr;
  }
  m_loaded = false;
  if (m_exports.shutdown() == 0) return false;
  DropLibrary();
  return true;
}

const char* CDSMPlugin::DescribePlugin() {
  std::lock_guard<std::mutex> g(m_lock);
  if (!m_library) return UiText(IDS_NO_PLUGIN_LOADED);
  const char* text = m_exports.description();
  if (!text) return nullptr;
  std::string* fields[] = {&m_name, &m_version, &m_date, &m_author, &m_fileName};
  const std::size_t sizes[] = {kNameSize, kVersionSize, kDateSize, kAuthorSize, kFileNameSize};
  std::string rest = text;
  for (int i = 0; i < 5; i++) {
    const std::size_t comma = rest.find(',');
    *fields[i] = Field(rest.substr(0, comma), sizes[i]);
    if (comma == std::string::npos) break;
    rest.erase(0, comma + 1);
  }
  return text;
}

bool CDSMPlugin::Startup() {
  std::lock_guard<std::mutex> g(m_lock);
  return m_library && m_exports.startup() >= 0;
}

const char* CDSMPlugin::GetParams() {
  std::lock_guard<std::mutex> g(m_lock);
  return m_library ? m_exports.getParams() : nullptr;
}

bool CDSMPlugin::Configure(void* owner, const char* text, int number, void* pointer) {
  std::lock_guard<std::mutex> g(m_lock);
  if (!m_library) return false;
  const int r = m_exports.config ? m_exports.config(owner, text, number, pointer) : m_exports.setParams(owner, text);
  return r > 0;
}

std::uint8_t* CDSMPlugin::TransformBuffer(const std::uint8_t* data, int length, int* outLength) {
  std::lock_guard<std::mutex> g(m_transformLock);
  *outLength = 0;
  if (!m_library) return nullptr;
  std::uint8_t* out = m_exports.transformBuffer(const_cast<std::uint8_t*>(data), length, outLength);
  m_lastTransformed = out;
  return out;
}

std::uint8_t* CDSMPlugin::RestoreBufferPrepare(int length, int* outLength) {
  *outLength = 0;
  if (!m_library) return nullptr;
  std::uint8_t* out = m_exports.restoreBuffer(nullptr, length, outLength);
  m_lastRestored = out;
  return out;
}

std::uint8_t* CDSMPlugin::RestoreBuffer(std::uint8_t* destination, int length, int* outLength) {
  *outLength = -1;
  if (!m_library) return nullptr;
  return m_exports.restoreBuffer(destination, length, outLength);
}

DSMPluginInterface* CDSMPlugin::CreatePluginInterface() {
  std::lock_guard<std::mutex> g(m_lock);
  return m_library && m_exports.createInterface ? m_exports.createInterface() : nullptr;
}

DSMPluginInterface* CDSMPlugin::CreateIntegratedPluginInterface() {
  std::lock_guard<std::mutex> g(m_lock);
  return m_library && m_exports.createIntegrated ? m_exports.createIntegrated() : nullptr;
}

int CDSMPlugin::ListPlugins(std::vector<std::string>& names) {
  const std::string folder = m_sys.ProgramFolder();
  if (folder.empty()) return 0;
  std::vector<std::string> found = m_sys.FilesEndingIn(folder, ".dsm");
  names.insert(names.end(), found.begin(), found.end());
  return static_cast<int>(found.size());
}

// ---------------------------------------------------------------------------------------

DSMPluginChannel::~DSMPluginChannel() {
  if (m_object) Slot<void* (*)(DSMPluginInterface*, unsigned int)>(m_object, kDSMSlotDestroy)(m_object, 1);
}

std::uint8_t* DSMPluginChannel::Encrypt(const std::uint8_t* data, int length, int* outLength) {
  using Fn = unsigned char* (*)(DSMPluginInterface*, unsigned char*, int, int*);
  return Slot<Fn>(m_object, kDSMSlotEncrypt)(m_object, const_cast<std::uint8_t*>(data), length, outLength);
}

std::uint8_t* DSMPluginChannel::Decrypt(std::uint8_t* data, int length, int* outLength) {
  using Fn = unsigned char* (*)(DSMPluginInterface*, unsigned char*, int, int*);
  return Slot<Fn>(m_object, kDSMSlotDecrypt)(m_object, data, length, outLength);
}

void DSMPluginChannel::FreeBuffer(std::uint8_t* buffer) {
  Slot<void (*)(DSMPluginInterface*, unsigned char*)>(m_object, kDSMSlotFreeBuffer)(m_object, buffer);
}

const char* DSMPluginChannel::ErrorText() const {
  const char* t = Slot<const char* (*)(DSMPluginInterface*)>(m_object, kDSMSlotErrorText)(m_object);
  return t ? t : "";
}

const char* DSMPluginChannel::Description() {
  const char* t = Slot<const char* (*)(DSMPluginInterface*)>(m_object, kDSMSlotDescription)(m_object);
  return t ? t : "";
}

void DSMPluginChannel::EncryptionReady() {
  Slot<void (*)(DSMPluginInterface*)>(m_object, kDSMSlotEncryptionReady)(m_object);
}

void DSMPluginChannel::SetPassword(const char* text, int length) {
  using Fn = void (*)(DSMPluginInterface*, const unsigned char*, int);
  Slot<Fn>(m_object, kDSMSlotSetPassword)(m_object, reinterpret_cast<const unsigned char*>(text), length);
}

bool DSMPluginChannel::TakeChallenge(const std::uint8_t* data, int length, int round, bool* handled, bool* longKeys) {
  using Fn = bool (*)(DSMPluginInterface*, const unsigned char*, int, int, bool*, bool*);
  *handled = *longKeys = false;
  return Slot<Fn>(m_object, kDSMSlotTakeChallenge)(m_object, data, length, round, handled, longKeys);
}

bool DSMPluginChannel::MakeResponse(std::uint8_t** out, int* outLength, int round, bool* moreRounds) {
  using Fn = bool (*)(DSMPluginInterface*, unsigned char**, int*, int, bool*);
  *out = nullptr;
  *outLength = 0;
  *moreRounds = false;
  return Slot<Fn>(m_object, kDSMSlotMakeResponse)(m_object, out, outLength, round, moreRounds);
}
