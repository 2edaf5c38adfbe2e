// The Qt 6 Widgets toolkit: the window's loop is Qt's, timers are QTimers,
// synchronous calls from worker threads are queued onto the GUI thread, and
// each control shown gets a widget that mirrors its state. Positions and
// font heights are designed at the form's PixelsPerInch and scaled to the
// screen's logical resolution.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/toolkit/controls.h"
#include "platform/toolkit/toolkit.h"

class QApplication;
class QMessageBox;
class QObject;
class QWidget;

namespace odu::platform {

// The Qt side of one control.
class QtPeer : public ControlPeer {
 public:
  // The control's widget; null once Qt has destroyed it with its parent.
  virtual QWidget* widget() const = 0;
};

// The widget that shows `control`, or null when it has no Qt peer.
QWidget* WidgetOf(const TControl& control);

class QtToolkit : public Toolkit {
 public:
  struct Box {
    std::string text;
    std::string caption;
  };

  // Creates the process's QApplication, which lives as long as the toolkit.
  // `argc` must outlive it (Qt keeps the reference).
  QtToolkit(int& argc, char** argv);
  // Runs on a QApplication that the caller owns.
  explicit QtToolkit(QApplication& app);
  ~QtToolkit() override;

  // A modal QMessageBox (no icon, OK only). From a worker thread the box is
  // shown on the GUI thread through a synchronous call.
  void MessageBox(const std::string& text, const std::string& caption) override;
  std::unique_ptr<TimerImpl> CreateTimer(TTimer& timer) override;
  std::unique_ptr<ControlPeer> CreatePeer(TControl& control) override;
  // QApplication::exec(). An exception that escaped a handler run by the
  // loop (click, tick, synchronous call) ends the loop and is rethrown here.
  void RunLoop() override;
  // Leaves the loop (every nested loop with it). Called before RunLoop, it
  // makes the next RunLoop return at once.
  void Quit() override;

  // Called with each box once it is on screen, from inside its modal loop;
  // whoever sets it may answer the box (tests).
  std::function<void(QMessageBox&)> on_box_shown;
  const std::vector<Box>& boxes() const { return boxes_; }

  // Factor from `form`'s design resolution to the screen's logical one.
  static double Scale(const TForm& form);

  // Runs `handler` for the loop: an exception it throws is kept for RunLoop
  // and ends the loop, as Qt cannot carry exceptions through its event loop.
  void Dispatch(const std::function<void()>& handler);

 protected:
  void WakeForSynchronize() override;

 private:
  void Setup();

  std::unique_ptr<QApplication> owned_app_;
  std::unique_ptr<QObject> gui_context_;  // lives on the GUI thread; target of queued calls
  std::vector<Box> boxes_;
  std::exception_ptr pending_;
  bool quit_requested_ = false;
};

}  // namespace odu::platform
