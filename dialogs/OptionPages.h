// The option pages of the session dialog without their windows: which control shows which
// option, how a page is filled from the working options and read back, and which controls
// a choice enables. The session dialog hands each page's controls in through PageControls.
#pragma once

#include <string>

class KEBOptions;

// The controls of one page, by id.
class PageControls {
public:
  virtual ~PageControls() = default;
  virtual bool Checked(int id) = 0;
  virtual void SetChecked(int id, bool on) = 0;
  // False when the control does not hold a number.
  virtual bool Number(int id, int* value) = 0;
  virtual void SetNumber(int id, int value) = 0;
  virtual std::string Text(int id) = 0;
  // A combo box selects the entry with that text.
  virtual void SetText(int id, const char* text) = 0;
  virtual void Enable(int id, bool on) = 0;
};

namespace optionpages {

// In tab order.
enum Page { kEncoders, kInput, kDisplay, kMisc, kSecurity, kQuick, kListen, kConf, kPageCount };

// The dialog template of a page.
int PageTemplate(Page page);

// The scale percentages the Display page offers, and the snapshot formats of Misc.
extern const int kScalePercents[13];
extern const char* const kImageFormats[4];
// The encodings with a radio button on the Encoders page (id 2000 + encoding).
extern const int kEncodingRadios[18];

// Fills the page's controls from work ("Reconnect" and "AutoReconnect" show 0 unless the
// session is shared).
void Fill(Page page, const KEBOptions& work, PageControls& c);
// Reads the page's controls into work. Values are kept in range: "compresslevel" and
// "quality" 0..9, a number field that holds no number keeps the old value, the scale is
// checked, "Reconnect" and "AutoReconnect" are 0 unless the session is shared.
void Read(Page page, KEBOptions& work, PageControls& c);
// A control of the page was clicked: the controls that depend on it are enabled or
// disabled, and choices that go together are made. Switching "autoDetect" also sets the
// quick option of work (1 on, 8 off).
void OnCommand(Page page, int id, KEBOptions& work, PageControls& c);

}  // namespace optionpages
