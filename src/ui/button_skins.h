// The project's skins for the skinned buttons, compiled into the program as resources.
#pragma once

#include <cstdint>

#include "ui/skinned_button.h"

namespace qln {

enum class ButtonSkin : uint8_t {
  Common,  // every skinned button but the port's: 5 frames, borders 5, 5, 5, 4 (top, bottom, left,
           // right)
  Port,    // the port's Open/Close button: 6 frames, 1-pixel borders, dark under yellow text
};

// Draws the button from the skin's strip; false when the strip cannot be used (see SetBitmap).
bool ApplyButtonSkin(SkinnedButton& button, ButtonSkin skin);

}  // namespace qln
