// The real Win32 wizard window: built from the layout table, it implements
// the view the handlers act on and delivers the window's events to them.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace bv::win32 {

// Message boxes and the standard error box as real modal windows owned by
// the window; the archive's questions are the system's dialogs.
class MessageBoxQuestions : public ui::Questions {
public:
    void ShowMessage(const std::wstring& text) override;
    void ShowError(const std::wstring& text) override;
    Answer AskPassword(const std::wstring& memberName, std::wstring& password) override {
        return SystemQuestions().AskPassword(memberName, password);
    }
    Answer AskFailure(const std::wstring& message, bool canRetry) override {
        return SystemQuestions().AskFailure(message, canRetry);
    }
    HWND owner = nullptr;
};

class WizardWindow : public ui::View {
public:
    WizardWindow(const std::vector<ui::ControlDef>& layout, ui::Questions& questions);
    ~WizardWindow() override;
    WizardWindow(const WizardWindow&) = delete;
    WizardWindow& operator=(const WizardWindow&) = delete;

    // Creates the window and every control, hidden, and starts the timer
    // (4000 ms unless told otherwise). Events go to `events`.
    bool Create(ui::Events& events, UINT timerMs = 4000);
    // Centres the window on the screen and shows it.
    void Show();
    // Runs the message loop until the window is destroyed.
    int RunMessageLoop();
    // Handles queued messages without waiting, as the message loop does (tests).
    void PumpMessages();
    // One message as the message loop handles it: the window's own keys,
    // then the keyboard interface of its controls, then dispatch.
    void HandleMessage(MSG& msg);
    // The keys the window handles before dispatch (Enter presses the page's
    // default button); true when the message was used.
    bool PreTranslate(const MSG& msg);

    HWND Handle(ui::ControlId ctl) const;
    HWND RadioHandle(ui::ControlId group, int index) const;
    HWND TabControl() const { return tabs_; }
    bool Destroyed() const { return main_ == nullptr; }
    // The width a push button's text and picture take as drawn, at most its
    // width less its frame.
    int ButtonContentWidth(ui::ControlId ctl) const;
    // The scale the window is laid out at, in dots per inch (96 is 100 %).
    int DpiScale() const { return dpi_; }

    // ui::View
    void SetText(ui::ControlId ctl, const std::wstring& text) override;
    std::wstring GetText(ui::ControlId ctl) const override;
    void ShowPage(ui::ControlId page) override;
    ui::ControlId ActivePage() const override { return activePage_; }
    void SetTabsVisible(bool visible) override;
    bool TabsVisible() const override { return tabsVisible_; }
    void SetVisible(ui::ControlId ctl, bool visible) override;
    bool IsVisible(ui::ControlId ctl) const override;
    void SetEnabled(ui::ControlId ctl, bool enabled) override;
    bool IsEnabled(ui::ControlId ctl) const override;
    bool SafeFocus(ui::ControlId ctl) override;
    bool HasFocus(ui::ControlId ctl) const override;
    int ItemIndex(ui::ControlId ctl) const override;
    void SetItemIndex(ui::ControlId ctl, int index) override;
    std::vector<std::wstring> Items(ui::ControlId ctl) const override;
    void ClearItems(ui::ControlId ctl) override;
    void AddItem(ui::ControlId ctl, const std::wstring& text) override;
    void AddLine(ui::ControlId ctl, const std::wstring& line) override;
    std::vector<std::wstring> Lines(ui::ControlId ctl) const override;
    void SetProgress(ui::ControlId ctl, int max, int position, uint32_t rgb) override;
    int ProgressPosition(ui::ControlId ctl) const override;
    void Repaint(ui::ControlId ctl) override;
    void Close() override;
    void PostClick(ui::ControlId ctl) override;
    void PostClose() override;
    ui::Questions& questions() override { return *questions_; }
    // Who answers the modal questions from now on.
    void SetQuestions(ui::Questions& questions) { questions_ = &questions; }

private:
    struct Resources;
    static LRESULT CALLBACK MainProc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK PanelProc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK ContainerProc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK MemoProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
    LRESULT HandleMain(HWND, UINT, WPARAM, LPARAM);
    // Handles the keys and clicks that are waiting and the messages posted
    // with them, but no painting (a tick among them is dropped: the one being
    // delivered follows); false when the window was closed meanwhile.
    bool HandlePendingInput();
    // Whether `h` is the window or one of its controls that can take the
    // focus: it and every parent visible and enabled.
    bool CanFocus(HWND h) const;
    // Moves the focus off a control that is hidden (a page that was left)
    // or disabled, or off a page (which the system gives it when the control
    // in it that had it is hidden), to the first control of the active page,
    // or to the window itself when the page has none: the keyboard interface
    // looks for a key's control by walking the window from the focus, and
    // never comes back to a control that cannot be reached. With
    // `offTheWindow`, also off the window itself (after activation).
    void RescueFocus(bool offTheWindow = false);
    // The control of a radio group that takes the focus and the tab stop:
    // its checked item, or the first when none is checked.
    HWND RadioFocusItem(ui::ControlId group) const;
    // Keeps the group's tab stop on that item.
    void UpdateRadioTabStop(ui::ControlId group);
    bool CreateControls();
    void LayoutControls();
    // Places the children of `parent`, whose client area is w by h, and
    // theirs in turn. The design pass only records every control's size at
    // the window's design size, which anchored controls measure from.
    void Arrange(ui::ControlId parent, int w, int h, bool design);
    void OnCommand(WPARAM wp, LPARAM lp);
    // How a push button's face is drawn: text, letter spacing and picture.
    struct ButtonFace {
        std::wstring text;
        int spacing = 0, textWidth = 0, textHeight = 0;
        HBITMAP picture = nullptr;
        int pictureSize = 0, gap = 0;
    };
    ButtonFace LayOutButton(HDC dc, ui::ControlId ctl) const;
    void DrawButton(const DRAWITEMSTRUCT& dis);
    // A length designed at 96 dots per inch, at the window's scale.
    int Scale(int v) const;
    // Fonts, pictures and icons for the current scale, handed to the controls.
    void MakeResources();
    void ApplyResources();
    HFONT FontOf(const ui::Font& font) const;
    HFONT FontOf(ui::ControlId ctl) const;
    // The outer size of a window with this client size at the current scale.
    SIZE OuterSize(int clientWidth, int clientHeight) const;
    const ui::ControlDef* Def(ui::ControlId ctl) const;
    // The Kind::Window entry: the window's design size and limits.
    const ui::ControlDef& WindowDef() const;
    ui::ControlId CtlOf(HWND hwnd) const;

    const std::vector<ui::ControlDef>& layout_;
    ui::Questions* questions_;
    ui::Events* events_ = nullptr;
    HWND main_ = nullptr;
    HWND tabs_ = nullptr;
    HWND tooltip_ = nullptr;
    std::map<ui::ControlId, HWND> controls_;
    std::map<ui::ControlId, std::vector<HWND>> radios_;
    // Each radio group's checked item as the handlers last saw it: an
    // automatic radio button checks itself before it reports the click.
    std::map<ui::ControlId, int> radioIndex_;
    // The control that had the focus when the window was last deactivated.
    HWND lastFocus_ = nullptr;
    // A tick is being delivered (the keys before it are being handled).
    bool inTick_ = false;
    std::vector<ui::ControlId> pages_;
    std::map<ui::ControlId, SIZE> designSizes_;
    ui::ControlId activePage_ = ui::kNoControl;
    bool tabsVisible_ = true;
    int dpi_ = 96;
    Resources* res_ = nullptr;
};

}  // namespace bv::win32
