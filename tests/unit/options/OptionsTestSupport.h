// Shared helpers of the option tests: scratch files, a user interface that records boxes
// and quits, and a full picture of a KEBOptions record for comparisons.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/IniStore.h"
#include "app/KEBOptions.h"
#include "app/UiText.h"
#include "app/UserInterface.h"

namespace opttest {

// A scratch folder of its own per test program run, removed at the end.
class ScratchDir {
public:
  ScratchDir() {
    static int serial = 0;
    std::error_code ec;
    auto base = std::filesystem::temp_directory_path(ec);
    if (ec) base = ".";
    dir_ = base / ("keb_options_" + std::to_string(std::random_device{}()) + "_" + std::to_string(++serial));
    std::filesystem::create_directories(dir_, ec);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  // A new file name in the folder (each call a different one).
  std::string NewPath(const char* stem = "f", const char* ext = ".ini") {
    return (dir_ / (std::string(stem) + std::to_string(++count_) + ext)).string();
  }
  std::string Write(const std::string& content, const char* ext = ".ini") {
    std::string path = NewPath("f", ext);
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  const std::filesystem::path& Dir() const { return dir_; }

private:
  std::filesystem::path dir_;
  int count_ = 0;
};

inline std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

struct Box {
  std::string text, title;
  MessageIcon icon;
};

class RecordingUI : public UserInterface {
public:
  RecordingUI() { old_ = SetUserInterface(this); }
  ~RecordingUI() override { SetUserInterface(old_); }
  void ShowMessage(const char* text, const char* title, MessageIcon icon) override {
    boxes.push_back({text ? text : "", title ? title : "", icon});
  }
  void Quit(int code) override { quits.push_back(code); }

  std::vector<Box> boxes;
  std::vector<int> quits;

private:
  UserInterface* old_;
};

// Every option key as the record would write it, plus every field the file does not hold.
class MemoryIni : public IniStore {
public:
  int GetString(const char*, const char* key, const char* def, char* out, int cap) override {
    auto it = values.find(key);
    std::string v = it == values.end() ? def : it->second;
    if (cap <= 0) return 0;
    std::snprintf(out, static_cast<std::size_t>(cap), "%s", v.c_str());
    return static_cast<int>(std::string(out).size());
  }
  int GetInt(const char*, const char* key, int def) override {
    auto it = values.find(key);
    return it == values.end() ? def : std::atoi(it->second.c_str());
  }
  bool WriteString(const char*, const char* key, const char* value) override {
    values[key] = value;
    return true;
  }
  std::map<std::string, std::string> values;
};

inline std::map<std::string, std::string> Picture(const KEBOptions& o) {
  MemoryIni ini;
  o.SaveOptions(ini);
  auto& m = ini.values;
  std::string pref;
  for (int e : o.m_PreferredEncodings) pref += std::to_string(e) + ",";
  m["@preferred list"] = pref;
  m["@GiiEnable"] = std::to_string(o.m_GiiEnable);
  m["@compresslevel"] = std::to_string(o.m_compresslevel) + "/" + std::to_string(o.m_compresslevelGiven);
  m["@quality"] = std::to_string(o.m_quality) + "/" + std::to_string(o.m_qualityGiven);
  m["@listening"] = std::to_string(o.m_listening);
  m["@host"] = o.m_host_options;
  m["@hostGiven"] = std::to_string(o.m_hostGiven);
  m["@port"] = std::to_string(o.m_port);
  m["@proxyText"] = o.m_proxyText;
  m["@proxyhost"] = o.m_proxyhost;
  m["@proxyport"] = std::to_string(o.m_proxyport);
  m["@RepeaterChoice"] = std::to_string(o.m_RepeaterChoice);
  m["@user"] = o.m_user;
  m["@password"] = o.m_password;
  m["@configFilename"] = o.m_configFilename;
  m["@configSpecified"] = std::to_string(o.m_configSpecified);
  m["@logLevel"] = std::to_string(o.m_logLevel);
  m["@logToFile"] = std::to_string(o.m_logToFile);
  m["@logFilename"] = o.m_logFilename;
  m["@logToConsole"] = std::to_string(o.m_logToConsole);
  m["@delay"] = std::to_string(o.m_delay);
  m["@position"] = std::to_string(o.m_x) + " " + std::to_string(o.m_y) + " " + std::to_string(o.m_w) + " " +
                   std::to_string(o.m_h);
  m["@NoBorder"] = std::to_string(o.m_NoBorder);
  m["@ClassName"] = o.m_ClassName;
  m["@kbd"] = std::string(o.m_kbdname) + "/" + std::to_string(o.m_kbdSpecified);
  return m;
}

// The entries in which two pictures differ, as "key: before -> after" lines.
inline std::string Changes(const std::map<std::string, std::string>& before,
                           const std::map<std::string, std::string>& after) {
  std::string out;
  for (const auto& [k, v] : after) {
    auto it = before.find(k);
    std::string old = it == before.end() ? "(absent)" : it->second;
    if (old != v) out += k + ":" + (old.empty() ? "" : " " + old) + " -> " + v + "\n";
  }
  for (const auto& [k, v] : before)
    if (!after.count(k)) out += k + ": " + v + " -> (absent)\n";
  return out;
}

// Resets what lives outside the record and loads the built-in texts.
class OptionsTest : public ::testing::Test {
protected:
  void SetUp() override {
    LoadBuiltinUiTexts();
    g_sponsor = false;
    g_configSpecified = false;
  }
  void TearDown() override {
    g_sponsor = false;
    g_configSpecified = false;
  }
  RecordingUI ui;
};

}  // namespace opttest
