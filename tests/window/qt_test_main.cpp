// Runs the window tests on Qt's offscreen platform, so that they need no
// display and see the same screen everywhere. One QApplication serves every
// test; each test builds its own toolkit on it.
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
