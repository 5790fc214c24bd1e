// The tool's colours, shared by the main dialog and the controls and notices.
#pragma once

#include <QColor>

namespace palette {

inline constexpr QColor kPurple{160, 32, 240};      // button faces, the filled progress
inline constexpr QColor kNearWhite{255, 250, 250};  // texts, the unfilled progress
inline constexpr QColor kBlack{0, 0, 0};            // the main dialog's background

}  // namespace palette
