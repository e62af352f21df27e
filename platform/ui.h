// The wizard window as the handlers see it: a narrow view over the controls
// of a layout table, the events the window delivers, and the modal questions.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/questions.h"

namespace bv::ui {

// A control's id. The application numbers its controls; the window only
// tells them apart by it (and uses it for the control's child-window id, so
// it stays below 2000).
enum class ControlId : int {};
// No control: an unset page or focus.
inline constexpr ControlId kNoControl{-1};

enum class Kind { Window, Panel, Image, Label, Pages, Page, Edit, ListBox, Button, RadioGroup, Memo, Progress, Player };
enum class Picture { None, Logo, Arrow, Play };

// Where a control goes in its parent. Top and Bottom take the parent's full
// width at their own height, at the top or the bottom edge, in table order;
// Client takes what is left between them. None keeps the control's place.
enum class Align { None, Top, Bottom, Client };

// The edges of its parent an unaligned control keeps its distance to when
// the parent is resized: held by both edges of a side, it stretches.
enum Anchor : unsigned { kAnchorLeft = 1, kAnchorTop = 2, kAnchorRight = 4, kAnchorBottom = 8 };

// A font of the window's face: its pixel height at 96 dots per inch.
struct Font {
    int size = 14;
    bool bold = false;
    friend bool operator==(const Font&, const Font&) = default;
};

// No colour of its own: the system's.
inline constexpr uint32_t kDefaultColor = 0xFFFFFFFF;

// One control as laid out at 96 dots per inch. The window itself is the
// table's Kind::Window entry: its width and height are the client area's,
// and its outer size is kept within the limits given (0: none).
struct ControlDef {
    ControlId id;
    ControlId parent;
    Kind kind;
    const wchar_t* name;
    int left, top, width, height;
    const wchar_t* text;
    int tag = 0;
    Picture picture = Picture::None;
    std::vector<const wchar_t*> items = {};
    const wchar_t* hint = nullptr;
    bool enabled = true;
    // Shown at start (a progress bar never is until it is shown).
    bool visible = true;
    // A button that Enter presses on its page, drawn with an outline.
    bool isDefault = false;
    // The radio item checked at start, or -1.
    int selected = -1;
    // A progress bar's range and position at start.
    int maximum = 100, position = 0;
    // RGB: a label's text, a progress bar's bar.
    uint32_t color = kDefaultColor;
    Font font = {};
    Align align = Align::None;
    unsigned anchors = kAnchorLeft | kAnchorTop;
    int minOuterWidth = 0, minOuterHeight = 0, maxOuterHeight = 0;

    // Chained on a table entry for the fields past the common ones.
    ControlDef& Disabled() { enabled = false; return *this; }
    ControlDef& Hidden() { visible = false; return *this; }
    ControlDef& Default() { isDefault = true; return *this; }
    ControlDef& Selected(int index) { selected = index; return *this; }
    ControlDef& Progress(int max, int pos, uint32_t rgb) { maximum = max, position = pos, color = rgb; return *this; }
    ControlDef& Color(uint32_t rgb) { color = rgb; return *this; }
    ControlDef& WithFont(int size, bool bold = false) { font = {size, bold}; return *this; }
    ControlDef& Aligned(Align a) { align = a; return *this; }
    ControlDef& Anchored(unsigned edges) { anchors = edges; return *this; }
    ControlDef& OuterLimits(int minWidth, int minHeight, int maxHeight) {
        minOuterWidth = minWidth, minOuterHeight = minHeight, maxOuterHeight = maxHeight;
        return *this;
    }
};

// Receives what the user does; the window calls these on its own thread.
class Events {
public:
    virtual ~Events() = default;
    virtual void OnClick(ControlId ctl) = 0;
    virtual void OnDblClick(ControlId ctl) = 0;
    virtual void OnChange(ControlId ctl) = 0;  // radio group selection, list box selection
    virtual void OnPageShow(ControlId page) = 0;
    virtual void OnTimer() = 0;
    virtual void OnClose() = 0;  // the window is about to close
};

// The modal questions the view answers (platform/questions.h).
using bv::Questions;

class View {
public:
    virtual ~View() = default;
    virtual void SetText(ControlId ctl, const std::wstring& text) = 0;
    virtual std::wstring GetText(ControlId ctl) const = 0;
    virtual void ShowPage(ControlId page) = 0;
    virtual ControlId ActivePage() const = 0;
    virtual void SetTabsVisible(bool visible) = 0;
    virtual bool TabsVisible() const = 0;
    virtual void SetVisible(ControlId ctl, bool visible) = 0;
    virtual bool IsVisible(ControlId ctl) const = 0;
    virtual void SetEnabled(ControlId ctl, bool enabled) = 0;
    virtual bool IsEnabled(ControlId ctl) const = 0;
    // Gives the focus when the application is active and the control and its
    // parents are visible and enabled; false otherwise. A radio group takes
    // it on its checked item (the first when none is).
    virtual bool SafeFocus(ControlId ctl) = 0;
    virtual bool HasFocus(ControlId ctl) const = 0;
    // Radio groups and list boxes.
    virtual int ItemIndex(ControlId ctl) const = 0;
    // Selects an item; a radio group whose selection changes fires OnChange,
    // as a click would.
    virtual void SetItemIndex(ControlId ctl, int index) = 0;
    virtual std::vector<std::wstring> Items(ControlId ctl) const = 0;
    virtual void ClearItems(ControlId ctl) = 0;
    virtual void AddItem(ControlId ctl, const std::wstring& text) = 0;
    // The memo.
    virtual void AddLine(ControlId ctl, const std::wstring& line) = 0;
    virtual std::vector<std::wstring> Lines(ControlId ctl) const = 0;
    // The progress bar.
    virtual void SetProgress(ControlId ctl, int max, int position, uint32_t rgb) = 0;
    virtual int ProgressPosition(ControlId ctl) const = 0;
    // Paints the control and everything inside it now, without waiting for
    // the message loop (the window itself: the whole window).
    virtual void Repaint(ControlId ctl) = 0;
    virtual void Close() = 0;
    // Queue a click or a close, to happen once the current handler returns.
    virtual void PostClick(ControlId ctl) = 0;
    virtual void PostClose() = 0;
    virtual Questions& questions() = 0;
};

}  // namespace bv::ui
