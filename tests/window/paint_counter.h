// Counts the paint events a widget gets.
#pragma once

#include <QEvent>
#include <QObject>

namespace odu::testing {

struct PaintCounter : QObject {
  int paints = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++paints;
    return false;
  }
};

}  // namespace odu::testing
