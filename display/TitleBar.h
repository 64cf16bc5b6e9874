// The full-screen title bar: a small trapezoid window at the top centre of the frame's
// monitor that slides out when the pointer touches the top edge and hides itself again,
// with buttons for close, restore, minimise, pin (auto-hide), scaling, snapshot, monitor
// switch, chat and file transfer. It talks to the frame only through the frame's private
// messages (the title-bar messages of display/FrameCommands.h).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "display/TitleBarLayout.h"

class CTitleBar {
 public:
  CTitleBar() = default;
  virtual ~CTitleBar();
  CTitleBar(const CTitleBar&) = delete;
  CTitleBar& operator=(const CTitleBar&) = delete;

  // Remembers the frame; the bar itself is made on first showing (create: at once).
  void Init(HINSTANCE instance, HWND parent, bool create);
  // The metrics, font and button images for the current DPI.
  void Setup();
  void Create();
  // Centres the bar at the top of a monitor's rectangle (the remembered one, or the
  // primary monitor's, for none), hidden but for one pixel row.
  void MoveToMonitor(const RECT* monitor);
  // The scaling button's state: one to one, or the view fitted to the screen.
  void SetOneToOne(bool oneToOne);
  // Slides the bar into view, or out of it and hides it when it is there.
  void DisplayWindow(bool show);
  void SetText(const std::string& text);
  void Draw(HDC dc);
  HWND Window() const { return m_hwnd; }

 private:
  static LRESULT CALLBACK CTitleBarWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT Message(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void Command(int id);
  void Layout();
  void CreateButtons();
  void DrawButton(const DRAWITEMSTRUCT* item);
  void RestartTimers();
  void FreeImages();
  RECT MonitorRect() const;

  HINSTANCE m_instance = nullptr;
  HWND m_parent = nullptr;
  HWND m_hwnd = nullptr;
  bool m_haveMonitor = false;
  RECT m_monitor = {};
  int m_dpi = 96;
  titlebar::Metrics m_metrics;
  HFONT m_font = nullptr;
  HBITMAP m_images = nullptr;
  std::string m_text;
  bool m_autoHide = true;    // the bar hides itself after the pointer leaves it
  bool m_oneToOne = false;   // the scaling button's state
  int m_hideCounter = 0;
  bool m_showing = false;    // slide direction
  bool m_hideWhenDone = false;
};
