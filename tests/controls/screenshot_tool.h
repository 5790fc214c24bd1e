// Screenshots of the tool's windows on the offscreen platform, for docs/. A screenshot
// program lists its windows and hands them to RunScreenshots from its main:
//
//   int main(int argc, char** argv) {
//     return RunScreenshots(argc, argv, {{"error_notice", [] { ... return window; }}});
//   }
//
// run as  <program> <folder>  it writes <folder>/<name>.png for each window (<name>@2x.png on
// screens of device pixel ratio 2, as under QT_SCALE_FACTOR=2), and fails without writing when
// a text of a window would show a missing glyph.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

class QWidget;

// Height of the title strip on top of each screenshot, in device-independent pixels.
inline constexpr int kScreenshotTitleHeight = 28;

struct Screenshot {
  QString name;                                    // file name, without ".png"
  std::function<std::unique_ptr<QWidget>()> make;  // the window, not yet shown
};

// The texts of window that show on screen (its title, visible labels, buttons, line edits)
// for which the font in use has no glyph: each as "<object name>: <text>".
QStringList MissingGlyphs(const QWidget* window);

// Shows window, lets it paint and returns its client area under a plain title strip with the
// window title (the offscreen platform draws no window frame), in device pixels.
QImage TakeScreenshot(QWidget* window);

// The body of a screenshot program's main; creates the application object itself.
int RunScreenshots(int argc, char** argv, const std::vector<Screenshot>& shots);
