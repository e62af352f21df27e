// The wizard window's layout table: the window and every control with its
// parent, place, design text, tag, picture, font, initial state and how it
// follows a resize. The window builds itself from it.
#include "app/layout.h"

#include <stdexcept>

#include "app/programs.h"

namespace bv {

using ui::Align;
using ui::ControlDef;
using ui::Kind;
using ui::Picture;

namespace {

// The program page's items, from the table of programs.
std::vector<const wchar_t*> ProgramLabels() {
    std::vector<const wchar_t*> labels;
    for (const Program& p : Programs()) labels.push_back(p.label);
    return labels;
}

// A page's header strip.
ControlDef Header(ui::ControlId id, ui::ControlId page, const wchar_t* name, const wchar_t* text) {
    return ControlDef{id, page, Kind::Panel, name, 0, 0, kClientWidth, kHeaderHeight, text}.Aligned(Align::Top);
}

}  // namespace

const std::vector<ControlDef>& WizardLayout() {
    constexpr uint32_t kVersionColor = 0xF0CAA6;  // RGB 240, 202, 166
    static const std::vector<ControlDef> layout = {
        ControlDef{Ctl::MainF, ui::kNoControl, Kind::Window, L"MainF", 0, 0, kClientWidth, kClientHeight, L""}
            .OuterLimits(kMinOuterWidth, kMinOuterHeight, kMaxOuterHeight),
        ControlDef{Ctl::pnTop, Ctl::MainF, Kind::Panel, L"pnTop", 0, 0, kClientWidth, kBannerHeight,
                   L"Bovista Installer"}
            .Aligned(Align::Top)
            .WithFont(17, true),
        {Ctl::Image1, Ctl::pnTop, Kind::Image, L"Image1", 0, 0, 110, 44, L"", 0, Picture::Logo},
        ControlDef{Ctl::lblVersion, Ctl::pnTop, Kind::Label, L"lblVersion", 0, kBannerHeight - 13, kClientWidth, 13,
                   L"version"}
            .Aligned(Align::Bottom)
            .WithFont(11)
            .Color(kVersionColor),
        ControlDef{Ctl::PageControl1, Ctl::MainF, Kind::Pages, L"PageControl1", 0, kBannerHeight, kClientWidth,
                   kClientHeight - kBannerHeight - kStatusHeight, L""}
            .Aligned(Align::Client),
        {Ctl::tbInstallFolder, Ctl::PageControl1, Kind::Page, L"tbInstallFolder", 0, 0, 0, 0, L"tbInstallFolder"},
        {Ctl::TabSheet2, Ctl::PageControl1, Kind::Page, L"TabSheet2", 0, 0, 0, 0, L"TabSheet2"},
        {Ctl::tbSelectLangfiles, Ctl::PageControl1, Kind::Page, L"tbSelectLangfiles", 0, 0, 0, 0, L"tbSelectLangfiles"},
        {Ctl::tbSireFiles, Ctl::PageControl1, Kind::Page, L"tbSireFiles", 0, 0, 0, 0, L"tbSireFiles"},
        {Ctl::tbProgram, Ctl::PageControl1, Kind::Page, L"tbProgram", 0, 0, 0, 0, L"tbProgram"},
        {Ctl::tbDownload, Ctl::PageControl1, Kind::Page, L"tbDownload", 0, 0, 0, 0, L"tbDownload"},

        // Install folder.
        Header(Ctl::Panel5, Ctl::tbInstallFolder, L"Panel5", L"Select Installation Folder"),
        {Ctl::edInstallFolder, Ctl::tbInstallFolder, Kind::Edit, L"edInstallFolder", 16, 98, 192, 25, L"edInstallFolder"},
        {Ctl::lbxInstallFolder, Ctl::tbInstallFolder, Kind::ListBox, L"lbxInstallFolder", 16, 123, 192, 153, L""},
        ControlDef{Ctl::btnNext1, Ctl::tbInstallFolder, Kind::Button, L"btnNext1", 330, 278, 85, 35, L"Next    ", 1,
                   Picture::Arrow}
            .Default(),

        // Maintenance page.
        {Ctl::Edit1, Ctl::TabSheet2, Kind::Edit, L"Edit1", 39, 26, 169, 25, L"bvlang.pol"},
        {Ctl::Button1, Ctl::TabSheet2, Kind::Button, L"Button1", 39, 65, 61, 20, L"DirectGET"},
        {Ctl::Button3, Ctl::TabSheet2, Kind::Button, L"Button3", 181, 91, 61, 20, L"Button3"},
        {Ctl::Button2, Ctl::TabSheet2, Kind::Button, L"Button2", 39, 149, 130, 20, L"ClientGet"},

        // Language file.
        Header(Ctl::Panel3, Ctl::tbSelectLangfiles, L"Panel3", L"Select Language File"),
        {Ctl::rgLanguage, Ctl::tbSelectLangfiles, Kind::RadioGroup, L"rgLanguage", 19, 35, 150, 290, L"", 0, Picture::None,
         {L"ENG English", L"SPA Espa\u00f1ol", L"ITA Italiano", L"GER Deutsch", L"FRA Fran\u00e7ais", L"RUS Pyccko",
          L"DUT Nederlands", L"POR Portuguese", L"CHN Chinese", L"POL Polski", L"CZE Czech", L"SVK Slovak",
          L"EST Estonia"}},
        ControlDef{Ctl::btnNext3, Ctl::tbSelectLangfiles, Kind::Button, L"btnNext3", 330, 278, 85, 35, L"Next    ", 4,
                   Picture::Arrow}
            .Default(),

        // Sire file.
        Header(Ctl::Panel2, Ctl::tbSireFiles, L"Panel2", L"Select Sire File"),
        ControlDef{Ctl::rgSireFiles, Ctl::tbSireFiles, Kind::RadioGroup, L"rgSireFiles", 13, 52, 150, 221, L"", 0,
                   Picture::None,
                   {L"USA  USA", L"CDN Canada", L"GER Deutsch", L"ITA Italiano", L"GBR Great Britain", L"ALT  Alta",
                    L"--- None"}}
            .Selected(0),
        ControlDef{Ctl::btnNext4, Ctl::tbSireFiles, Kind::Button, L"btnNext4", 330, 278, 85, 35, L"Next    ", 5,
                   Picture::Arrow}
            .Default(),

        // Program.
        Header(Ctl::Panel1, Ctl::tbProgram, L"Panel1", L"Select Program"),
        ControlDef{Ctl::rgProgram, Ctl::tbProgram, Kind::RadioGroup, L"rgProgram", 13, 53, 234, 260, L"", 0,
                   Picture::None, ProgramLabels()}
            .Selected(0),
        ControlDef{Ctl::btnNext5, Ctl::tbProgram, Kind::Button, L"btnNext5", 330, 278, 85, 35, L"Install", 6,
                   Picture::Arrow}
            .Default(),

        // Download.
        Header(Ctl::Panel6, Ctl::tbDownload, L"Panel6", L"Download In Progress"),
        ControlDef{Ctl::memDownload, Ctl::tbDownload, Kind::Memo, L"memDownload", 2, 38, 423, 198, L""}.Anchored(
            ui::kAnchorLeft | ui::kAnchorTop | ui::kAnchorRight | ui::kAnchorBottom),
        {Ctl::btMusic, Ctl::tbDownload, Kind::Button, L"btMusic", 2, 277, 106, 35, L"Music", 0, Picture::Play, {},
         L"Soothing music while you wait"},
        {Ctl::MediaPlayer1, Ctl::tbDownload, Kind::Player, L"MediaPlayer1", 0, 0, 0, 0, L""},
        ControlDef{Ctl::btnFinish, Ctl::tbDownload, Kind::Button, L"btnFinish", 330, 278, 85, 35, L"Finish", 7}
            .Default()
            .Disabled(),
        // Shown beside Finish while the batch is stalled on a failed file.
        ControlDef{Ctl::btnRetry, Ctl::tbDownload, Kind::Button, L"btnRetry", 238, 278, 85, 35, L"Retry", 8}
            .Hidden(),

        ControlDef{Ctl::pnBottom, Ctl::MainF, Kind::Panel, L"pnBottom", 0, kClientHeight - kStatusHeight,
                   kClientWidth, kStatusHeight, L""}
            .Aligned(Align::Bottom),
        ControlDef{Ctl::pb, Ctl::pnBottom, Kind::Progress, L"pb", 0, kStatusHeight - 13, kClientWidth, 13, L""}
            .Aligned(Align::Bottom)
            .Progress(100, 50, 0x00FF00),
    };
    return layout;
}

const ControlDef& DefOf(ui::ControlId ctl) {
    for (const ControlDef& def : WizardLayout())
        if (def.id == ctl) return def;
    throw std::logic_error("control without a layout entry");
}

}  // namespace bv
