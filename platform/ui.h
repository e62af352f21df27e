// The wizard window as the handlers see it: a narrow view over named
// controls, the events the window delivers, and the modal questions.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/questions.h"

namespace bv::ui {

// Every control of the wizard window, named as the program names them.
enum class Ctl : int {
    MainF,
    pnTop, Image1, lblVersion,
    PageControl1,
    tbInstallFolder, TabSheet2, tbSelectLangfiles, tbSireFiles, tbProgram, tbDownload,
    Panel5, Panel3, Panel2, Panel1, Panel6,
    edInstallFolder, lbxInstallFolder, btnNext1,
    Edit1, Button1, Button3, Button2,
    rgLanguage, btnNext3,
    rgSireFiles, btnNext4,
    rgProgram, btnNext5,
    memDownload, btMusic, MediaPlayer1, btnFinish,
    pnBottom, pb,
    Count
};

// The window as designed, at 96 dots per inch: client area, banner, status
// panel, page header strips and the outer size limits.
constexpr int kClientWidth = 435;
constexpr int kClientHeight = 491;
constexpr int kBannerHeight = 59;
constexpr int kStatusHeight = 73;
constexpr int kHeaderHeight = 33;
constexpr int kMinOuterWidth = 441;
constexpr int kMinOuterHeight = 516;
constexpr int kMaxOuterHeight = 668;

enum class Kind { Window, Panel, Image, Label, Pages, Page, Edit, ListBox, Button, RadioGroup, Memo, Progress, Player };
enum class Picture { None, Logo, Arrow, Play };

// One control as laid out at 96 dots per inch.
struct ControlDef {
    Ctl id;
    Ctl parent;
    Kind kind;
    const wchar_t* name;
    int left, top, width, height;
    const wchar_t* text;
    int tag = 0;
    Picture picture = Picture::None;
    std::vector<const wchar_t*> items = {};
    const wchar_t* hint = nullptr;
};

// Receives what the user does; the window calls these on its own thread.
class Events {
public:
    virtual ~Events() = default;
    virtual void OnClick(Ctl ctl) = 0;
    virtual void OnDblClick(Ctl ctl) = 0;
    virtual void OnChange(Ctl ctl) = 0;      // radio group selection, list box selection
    virtual void OnPageShow(Ctl page) = 0;
    virtual void OnTimer() = 0;
    virtual void OnClose() = 0;             // the window is about to close
};

// The modal questions the view answers (platform/questions.h).
using bv::Questions;

class View {
public:
    virtual ~View() = default;
    virtual void SetText(Ctl ctl, const std::wstring& text) = 0;
    virtual std::wstring GetText(Ctl ctl) const = 0;
    virtual void ShowPage(Ctl page) = 0;
    virtual Ctl ActivePage() const = 0;
    virtual void SetTabsVisible(bool visible) = 0;
    virtual bool TabsVisible() const = 0;
    virtual void SetVisible(Ctl ctl, bool visible) = 0;
    virtual bool IsVisible(Ctl ctl) const = 0;
    virtual void SetEnabled(Ctl ctl, bool enabled) = 0;
    virtual bool IsEnabled(Ctl ctl) const = 0;
    // Gives the focus when the application is active and the control and its
    // parents are visible and enabled; false otherwise.
    virtual bool SafeFocus(Ctl ctl) = 0;
    virtual bool HasFocus(Ctl ctl) const = 0;
    // Radio groups and list boxes.
    virtual int ItemIndex(Ctl ctl) const = 0;
    // Selects an item; a radio group whose selection changes fires OnChange,
    // as a click would.
    virtual void SetItemIndex(Ctl ctl, int index) = 0;
    virtual std::vector<std::wstring> Items(Ctl ctl) const = 0;
    virtual void ClearItems(Ctl ctl) = 0;
    virtual void AddItem(Ctl ctl, const std::wstring& text) = 0;
    // The memo.
    virtual void AddLine(Ctl ctl, const std::wstring& line) = 0;
    virtual std::vector<std::wstring> Lines(Ctl ctl) const = 0;
    // The progress bar.
    virtual void SetProgress(Ctl ctl, int max, int position, uint32_t rgb) = 0;
    virtual int ProgressPosition(Ctl ctl) const = 0;
    // Paints the control now, without waiting for the message loop.
    virtual void Repaint(Ctl ctl) = 0;
    virtual void Close() = 0;
    // Queue a click or a close, to happen once the current handler returns.
    virtual void PostClick(Ctl ctl) = 0;
    virtual void PostClose() = 0;
    virtual Questions& questions() = 0;
};

}  // namespace bv::ui
