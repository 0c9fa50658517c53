// Dialog units: control rectangles are given in units of the dialog font, a quarter of its
// average character width across and an eighth of its height down, and turned into pixels the
// way dialog templates are (each number rounded on its own).
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QRect>
#include <QSize>

#include <algorithm>

namespace lookup {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    base_x_ = metrics.averageCharWidth();
    base_y_ = metrics.height();
  }

  int x(int units) const { return mul_div(units, base_x_, 4); }
  int y(int units) const { return mul_div(units, base_y_, 8); }
  QRect rect(int left, int top, int width, int height) const {
    return QRect(x(left), y(top), x(width), y(height));
  }
  QSize size(int width, int height) const { return QSize(x(width), y(height)); }
  // A width or height of the template, or the pixels a control needs when that is more.
  int x_at_least(int units, int pixels) const { return std::max(x(units), pixels); }
  int y_at_least(int units, int pixels) const { return std::max(y(units), pixels); }

 private:
  // a * b / c rounded to the nearest, for the non-negative numbers used here.
  static int mul_div(int a, int b, int c) { return (a * b + c / 2) / c; }

  int base_x_ = 0;
  int base_y_ = 0;
};

}  // namespace lookup
