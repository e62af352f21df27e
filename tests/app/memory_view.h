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
            c.enabled = s.enabled;
            c.visible = s.visible && s.kind != ui::Kind::Progress && s.kind != ui::Kind::Page;
            c.index = s.selected;
            c.position = s.kind == ui::Kind::Progress ? s.position : 0;
        }
    }

    void Attach(ui::Events& events) { events_ = &events; }

    void SetText(ui::ControlId ctl, const std::wstring& text) override { controls_[ctl].text = text; }
    std::wstring GetText(ui::ControlId ctl) const override { return At(ctl).text; }
    void ShowPage(ui::ControlId page) override {
        if (page == active_) return;
        active_ = page;
        events_->OnPageShow(page);
    }
    ui::ControlId ActivePage() const override { return active_; }
    void SetTabsVisible(bool visible) override { tabs_ = visible; }
    bool TabsVisible() const override { return tabs_; }
    void SetVisible(ui::ControlId ctl, bool visible) override { controls_[ctl].visible = visible; }
    bool IsVisible(ui::ControlId ctl) const override { return At(ctl).visible; }
    void SetEnabled(ui::ControlId ctl, bool enabled) override { controls_[ctl].enabled = enabled; }
    bool IsEnabled(ui::ControlId ctl) const override { return At(ctl).enabled; }
    bool SafeFocus(ui::ControlId ctl) override {
        const ui::ControlDef& s = DefOf(ctl);
        if (!IsVisible(ctl) || !IsEnabled(ctl) || (DefOf(s.parent).kind == ui::Kind::Page && s.parent != active_))
            return false;
        focus_ = ctl;
        return true;
    }
    bool HasFocus(ui::ControlId ctl) const override { return focus_ == ctl; }
    int ItemIndex(ui::ControlId ctl) const override { return At(ctl).index; }
    void SetItemIndex(ui::ControlId ctl, int index) override {
        int before = controls_[ctl].index;
        controls_[ctl].index = index;
        if (DefOf(ctl).kind == ui::Kind::RadioGroup && before != index) events_->OnChange(ctl);
    }
    std::vector<std::wstring> Items(ui::ControlId ctl) const override { return At(ctl).items; }
    void ClearItems(ui::ControlId ctl) override { controls_[ctl].items.clear(); }
    void AddItem(ui::ControlId ctl, const std::wstring& text) override { controls_[ctl].items.push_back(text); }
    void AddLine(ui::ControlId ctl, const std::wstring& line) override { controls_[ctl].items.push_back(line); }
    std::vector<std::wstring> Lines(ui::ControlId ctl) const override { return At(ctl).items; }
    void SetProgress(ui::ControlId ctl, int, int position, uint32_t rgb) override {
        controls_[ctl].position = position;
        barColor = rgb;
    }
    int ProgressPosition(ui::ControlId ctl) const override { return At(ctl).position; }
    void Repaint(ui::ControlId ctl) override { ++repaints[ctl]; }
    void Close() override {
        if (closed) return;
        closed = true;
        events_->OnClose();
    }
    void PostClick(ui::ControlId ctl) override { events_->OnClick(ctl); }
    void PostClose() override { Close(); }
    ui::Questions& questions() override { return questions_; }

    RecordingQuestions questions_;
    std::map<ui::ControlId, int> repaints;
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
    const Control& At(ui::ControlId ctl) const {
        static const Control none;
        auto it = controls_.find(ctl);
        return it == controls_.end() ? none : it->second;
    }

    ui::Events* events_ = nullptr;
    std::map<ui::ControlId, Control> controls_;
    ui::ControlId active_ = ui::kNoControl;
    ui::ControlId focus_ = ui::kNoControl;
    bool tabs_ = true;
};

}  // namespace bv::test
