// The wizard window's layout table: every control with its parent, place,
// design text, tag and picture. The window builds itself from it.
#include "app/layout.h"

#include <stdexcept>

namespace bv {

using ui::Ctl;
using ui::Kind;
using ui::Picture;
using ui::kClientWidth, ui::kClientHeight, ui::kBannerHeight, ui::kStatusHeight, ui::kHeaderHeight;

const std::vector<ui::ControlDef>& WizardLayout() {
    static const std::vector<ui::ControlDef> layout = {
        {Ctl::pnTop, Ctl::MainF, Kind::Panel, L"pnTop", 0, 0, kClientWidth, kBannerHeight, L"Bovista Installer"},
        {Ctl::Image1, Ctl::pnTop, Kind::Image, L"Image1", 0, 0, 110, 44, L"", 0, Picture::Logo},
        {Ctl::lblVersion, Ctl::pnTop, Kind::Label, L"lblVersion", 0, kBannerHeight - 13, kClientWidth, 13, L"version"},
        {Ctl::PageControl1, Ctl::MainF, Kind::Pages, L"PageControl1", 0, kBannerHeight, kClientWidth,
         kClientHeight - kBannerHeight - kStatusHeight, L""},
        {Ctl::tbInstallFolder, Ctl::PageControl1, Kind::Page, L"tbInstallFolder", 0, 0, 0, 0, L"tbInstallFolder"},
        {Ctl::TabSheet2, Ctl::PageControl1, Kind::Page, L"TabSheet2", 0, 0, 0, 0, L"TabSheet2"},
        {Ctl::tbSelectLangfiles, Ctl::PageControl1, Kind::Page, L"tbSelectLangfiles", 0, 0, 0, 0, L"tbSelectLangfiles"},
        {Ctl::tbSireFiles, Ctl::PageControl1, Kind::Page, L"tbSireFiles", 0, 0, 0, 0, L"tbSireFiles"},
        {Ctl::tbProgram, Ctl::PageControl1, Kind::Page, L"tbProgram", 0, 0, 0, 0, L"tbProgram"},
        {Ctl::tbDownload, Ctl::PageControl1, Kind::Page, L"tbDownload", 0, 0, 0, 0, L"tbDownload"},

        // Install folder.
        {Ctl::Panel5, Ctl::tbInstallFolder, Kind::Panel, L"Panel5", 0, 0, -1, kHeaderHeight, L"Select Installation Folder"},
        {Ctl::edInstallFolder, Ctl::tbInstallFolder, Kind::Edit, L"edInstallFolder", 16, 98, 192, 25, L"edInstallFolder"},
        {Ctl::lbxInstallFolder, Ctl::tbInstallFolder, Kind::ListBox, L"lbxInstallFolder", 16, 123, 192, 153, L""},
        {Ctl::btnNext1, Ctl::tbInstallFolder, Kind::Button, L"btnNext1", 330, 278, 85, 35, L"Next    ", 1, Picture::Arrow},

        // Maintenance page.
        {Ctl::Edit1, Ctl::TabSheet2, Kind::Edit, L"Edit1", 39, 26, 169, 25, L"bvlang.pol"},
        {Ctl::Button1, Ctl::TabSheet2, Kind::Button, L"Button1", 39, 65, 61, 20, L"DirectGET"},
        {Ctl::Button3, Ctl::TabSheet2, Kind::Button, L"Button3", 181, 91, 61, 20, L"Button3"},
        {Ctl::Button2, Ctl::TabSheet2, Kind::Button, L"Button2", 39, 149, 130, 20, L"ClientGet"},

        // Language file.
        {Ctl::Panel3, Ctl::tbSelectLangfiles, Kind::Panel, L"Panel3", 0, 0, -1, kHeaderHeight, L"Select Language File"},
        {Ctl::rgLanguage, Ctl::tbSelectLangfiles, Kind::RadioGroup, L"rgLanguage", 19, 35, 150, 290, L"", 0, Picture::None,
         {L"ENG English", L"SPA Espa\u00f1ol", L"ITA Italiano", L"GER Deutsch", L"FRA Fran\u00e7ais", L"RUS Pyccko",
          L"DUT Nederlands", L"POR Portuguese", L"CHN Chinese", L"POL Polski", L"CZE Czech", L"SVK Slovak",
          L"EST Estonia"}},
        {Ctl::btnNext3, Ctl::tbSelectLangfiles, Kind::Button, L"btnNext3", 330, 278, 85, 35, L"Next    ", 4, Picture::Arrow},

        // Sire file.
        {Ctl::Panel2, Ctl::tbSireFiles, Kind::Panel, L"Panel2", 0, 0, -1, kHeaderHeight, L"Select Sire File"},
        {Ctl::rgSireFiles, Ctl::tbSireFiles, Kind::RadioGroup, L"rgSireFiles", 13, 52, 150, 221, L"", 0, Picture::None,
         {L"USA  USA", L"CDN Canada", L"GER Deutsch", L"ITA Italiano", L"GBR Great Britain", L"ALT  Alta",
          L"--- None"}},
        {Ctl::btnNext4, Ctl::tbSireFiles, Kind::Button, L"btnNext4", 330, 278, 85, 35, L"Next    ", 5, Picture::Arrow},

        // Program.
        {Ctl::Panel1, Ctl::tbProgram, Kind::Panel, L"Panel1", 0, 0, -1, kHeaderHeight, L"Select Program"},
        {Ctl::rgProgram, Ctl::tbProgram, Kind::RadioGroup, L"rgProgram", 13, 53, 234, 260, L"", 0, Picture::None,
         {L"Bovista", L"ZOVozivu", L"Bovista + ZOVozivu", L"Bovista Consultant", L"Ranger", L"Lumen"}},
        {Ctl::btnNext5, Ctl::tbProgram, Kind::Button, L"btnNext5", 330, 278, 85, 35, L"Install", 6, Picture::Arrow},

        // Download.
        {Ctl::Panel6, Ctl::tbDownload, Kind::Panel, L"Panel6", 0, 0, -1, kHeaderHeight, L"Download In Progress"},
        {Ctl::memDownload, Ctl::tbDownload, Kind::Memo, L"memDownload", 2, 38, 423, 198, L""},
        {Ctl::btMusic, Ctl::tbDownload, Kind::Button, L"btMusic", 2, 277, 106, 35, L"Music", 0, Picture::Play, {},
         L"Soothing music while you wait"},
        {Ctl::MediaPlayer1, Ctl::tbDownload, Kind::Player, L"MediaPlayer1", 0, 0, 0, 0, L""},
        {Ctl::btnFinish, Ctl::tbDownload, Kind::Button, L"btnFinish", 330, 278, 85, 35, L"Finish", 7},

        {Ctl::pnBottom, Ctl::MainF, Kind::Panel, L"pnBottom", 0, kClientHeight - kStatusHeight, kClientWidth,
         kStatusHeight, L""},
        {Ctl::pb, Ctl::pnBottom, Kind::Progress, L"pb", 0, kStatusHeight - 13, kClientWidth, 13, L""},
    };
    return layout;
}

const ui::ControlDef& DefOf(ui::Ctl ctl) {
    for (const ui::ControlDef& def : WizardLayout())
        if (def.id == ctl) return def;
    throw std::logic_error("control without a layout entry");
}

}  // namespace bv
