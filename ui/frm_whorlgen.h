#pragma once
// The one window of the program: the control panel. It owns every piece of
// state for its lifetime and holds the behaviour as event handlers.

#include <QMainWindow>
#include <cstdint>
#include <string>

#include "engine/frame_generator.h"
#include "engine/parameters.h"

class QAction;
class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace whorlgen::preview {
class PreviewSurface;
}

namespace whorlgen::ui {

class PanelScrollBar;

class FrmWhorlgen : public QMainWindow {
  Q_OBJECT

 public:
  // Builds the controls and runs Form_Load, so the panel stands at its
  // start-up values before the user can act.
  explicit FrmWhorlgen(QWidget* parent = nullptr);

  // The state record. The scroll bar handlers are the only writers of Params.
  engine::PatternParameters Params;
  engine::GeneratorState Generator;
  engine::FrameData Frame;
  std::string DacName;  // text of the selected DAC list item
  bool Running = false;
  std::int32_t TotalFrames = 0;
  std::int32_t PreviewWidth = 0;  // inner size of picPreview in pixels, read once at load
  std::int32_t PreviewHeight = 0;

  // The controls that no handler serves, read where they are needed.
  int SelectedOpMode() const;  // 1..6; 0 when nothing is selected
  bool LimitVelocityChecked() const;
  bool ShowDotsChecked() const;
  bool IldaOutChecked() const;

 private:
  void BuildControls(QWidget* client);
  void FindControls(QWidget* client);
  void ConnectHandlers();

  // Handles all pending window events; while output runs, builds and sends a
  // frame first.
  void ProcessFrame();

  void Form_Load();
  void SetUpPreview();
  void InitialiseIldaHeader();
  void ShowFrameRate();

  void cmdStart_Click();
  void cmdStop_Click();
  void lstDACSelect_Click();
  void mnuAbout_Click();

  void scrRepPoints_Change();
  void scrRepPoints_Scroll();
  void scrXGain_Change();
  void scrXGain_Scroll();
  void scrYGain_Change();
  void scrYGain_Scroll();
  void scrXPhase_Change();
  void scrXPhase_Scroll();
  void scrXRot_Change();
  void scrXRot_Scroll();
  void scrYRot_Change();
  void scrYRot_Scroll();
  void scrXFreq_Change();
  void scrXFreq_Scroll();
  void scrYFreq_Change();
  void scrYFreq_Scroll();
  void scrZFreq_Change();
  void scrZFreq_Scroll();
  void scrRFreq_Change();
  void scrRFreq_Scroll();
  void scrGFreq_Change();
  void scrGFreq_Scroll();
  void scrBFreq_Change();
  void scrBFreq_Scroll();
  void scrPointsPerSec_Change();
  void scrPointsPerSec_Scroll();
  void scrPointsPerFrame_Change();
  void scrPointsPerFrame_Scroll();

  QAction* mnuAbout = nullptr;

  PanelScrollBar* scrXGain = nullptr;
  PanelScrollBar* scrYGain = nullptr;
  PanelScrollBar* scrXFreq = nullptr;
  PanelScrollBar* scrYFreq = nullptr;
  PanelScrollBar* scrZFreq = nullptr;
  PanelScrollBar* scrXRot = nullptr;
  PanelScrollBar* scrYRot = nullptr;
  PanelScrollBar* scrRFreq = nullptr;
  PanelScrollBar* scrGFreq = nullptr;
  PanelScrollBar* scrBFreq = nullptr;
  PanelScrollBar* scrRepPoints = nullptr;
  PanelScrollBar* scrPointsPerSec = nullptr;
  PanelScrollBar* scrPointsPerFrame = nullptr;
  PanelScrollBar* scrXPhase = nullptr;

  QLabel* lblXGainV = nullptr;
  QLabel* lblYGainV = nullptr;
  QLabel* lblXFreqV = nullptr;
  QLabel* lblYFReqV = nullptr;
  QLabel* lblZFreqV = nullptr;
  QLabel* lblXRotV = nullptr;
  QLabel* lblYRotV = nullptr;
  QLabel* lblRFreqV = nullptr;
  QLabel* lblGFreqV = nullptr;
  QLabel* lblBFreqV = nullptr;
  QLabel* lblRepPointsV = nullptr;
  QLabel* lblPPSV = nullptr;
  QLabel* lblPPFV = nullptr;
  QLabel* lblXPhaseV = nullptr;
  QLabel* lblFrameRateV = nullptr;
  QLabel* lblTotalFramesV = nullptr;

  QPushButton* cmdStart = nullptr;
  QPushButton* cmdStop = nullptr;
  QListWidget* lstDACSelect = nullptr;
  QListWidget* lstOpMode = nullptr;
  QCheckBox* chkILDAout = nullptr;
  QCheckBox* chkLimitVelocity = nullptr;
  QCheckBox* chkShowDots = nullptr;
  preview::PreviewSurface* picPreview = nullptr;
};

}  // namespace whorlgen::ui
