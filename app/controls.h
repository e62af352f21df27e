// The wizard window's controls, named as the program names them, and the
// window's size as designed.
#pragma once
#include "platform/ui.h"

namespace bv {

// Every control of the wizard window; the layout table gives each its place.
namespace Ctl {
inline constexpr ui::ControlId
    MainF{0},
    pnTop{1}, Image1{2}, lblVersion{3},
    PageControl1{4},
    tbInstallFolder{5}, TabSheet2{6}, tbSelectLangfiles{7}, tbSireFiles{8}, tbProgram{9}, tbDownload{10},
    Panel5{11}, Panel3{12}, Panel2{13}, Panel1{14}, Panel6{15},
    edInstallFolder{16}, lbxInstallFolder{17}, btnNext1{18},
    Edit1{19}, Button1{20}, Button3{21}, Button2{22},
    rgLanguage{23}, btnNext3{24},
    rgSireFiles{25}, btnNext4{26},
    rgProgram{27}, btnNext5{28},
    memDownload{29}, btMusic{30}, MediaPlayer1{31}, btnFinish{32},
    pnBottom{33}, pb{34},
    btnRetry{35};
}  // namespace Ctl

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

}  // namespace bv
