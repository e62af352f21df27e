// The wizard's view kept in memory: controls are records of text, items,
// selection and state, so the handlers run natively under the sanitizers.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "app/layout.h"
#include "platform/ui.h"
#include "tests/app/recording_questions.h"

namespace bv::test {

class MemoryView : public ui::View {
public:
    MemoryView() {
        for (const ui::ControlDef& s : WizardLayout()) {
            Control& c = controls_[s.id];
            c.text = s.text;
            for (const wchar_t* item : s.items) c.items.emplace_back(item);
            c.enabled = s.id != ui::Ctl::btnFinish;
            c.visible = s.kind != ui::Kind::Progress && s.kind != ui::Kind::Page;
        }
        controls_[ui::Ctl::rgSireFiles].index = 0;
        controls_[ui::Ctl::rgProgram].index = 0;
        controls_[ui::Ctl::pb].position = 50;
    }

    void Attach(ui::Events& events) { events_ = &events; }

    void SetText(ui::Ctl ctl, const std::wstring& text) override { controls_[ctl].text = text; }
    std::wstring GetText(ui::Ctl ctl) const override { return At(ctl).text; }
    void ShowPage(ui::Ctl page) override {
        if (page == active_) return;
        active_ = page;
        events_->OnPageShow(page);
    }
    ui::Ctl ActivePage() const override { return active_; }
    void SetTabsVisible(bool visible) override { tabs_ = visible; }
    bool TabsVisible() const override { return tabs_; }
    void SetVisible(ui::Ctl ctl, bool visible) override { controls_[ctl].visible = visible; }
    bool IsVisible(ui::Ctl ctl) const override { return At(ctl).visible; }
    void SetEnabled(ui::Ctl ctl, bool enabled) override { controls_[ctl].enabled = enabled; }
    bool IsEnabled(ui::Ctl ctl) const override { return At(ctl).enabled; }
    bool SafeFocus(ui::Ctl ctl) override {
        const ui::ControlDef& s = DefOf(ctl);
        if (!IsVisible(ctl) || !IsEnabled(ctl) || (DefOf(s.parent).kind == ui::Kind::Page && s.parent != active_))
            return false;
        focus_ = ctl;
        return true;
    }
    bool HasFocus(ui::Ctl ctl) const override { return focus_ == ctl; }
    int ItemIndex(ui::Ctl ctl) const override { return At(ctl).index; }
    void SetItemIndex(ui::Ctl ctl, int index) override {
        int before = controls_[ctl].index;
        controls_[ctl].index = index;
        if (DefOf(ctl).kind == ui::Kind::RadioGroup && before != index) events_->OnChange(ctl);
    }
    std::vector<std::wstring> Items(ui::Ctl ctl) const override { return At(ctl).items; }
    void ClearItems(ui::Ctl ctl) override { controls_[ctl].items.clear(); }
    void AddItem(ui::Ctl ctl, const std::wstring& text) override { controls_[ctl].items.push_back(text); }
    void AddLine(ui::Ctl ctl, const std::wstring& line) override { controls_[ctl].items.push_back(line); }
    std::vector<std::wstring> Lines(ui::Ctl ctl) const override { return At(ctl).items; }
    void SetProgress(ui::Ctl ctl, int, int position, uint32_t rgb) override {
        controls_[ctl].position = position;
        barColor = rgb;
    }
    int ProgressPosition(ui::Ctl ctl) const override { return At(ctl).position; }
    void Repaint(ui::Ctl ctl) override { ++repaints[ctl]; }
    void Close() override {
        if (closed) return;
        closed = true;
        events_->OnClose();
    }
    void PostClick(ui::Ctl ctl) override { events_->OnClick(ctl); }
    void PostClose() override { Close(); }
    ui::Questions& questions() override { return questions_; }

    RecordingQuestions questions_;
    std::map<ui::Ctl, int> repaints;
    uint32_t barColor = 0;
    bool closed = false;

private:
    struct Control {
        std::wstring text;
        std::vector<std::wstring> items;
        int index = -1;
        int position = 0;
        bool visible = true, enabled = true;
    };
    const Control& At(ui::Ctl ctl) const {
        static const Control none;
        auto it = controls_.find(ctl);
        return it == controls_.end() ? none : it->second;
    }

    ui::Events* events_ = nullptr;
    std::map<ui::Ctl, Control> controls_;
    ui::Ctl active_ = ui::Ctl::Count;
    ui::Ctl focus_ = ui::Ctl::Count;
    bool tabs_ = true;
};

}  // namespace bv::test
