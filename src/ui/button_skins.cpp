#include "ui/button_skins.h"

#include <QImage>
#include <QString>

// The resources live in this static library; registering them here keeps the linker from
// dropping them from the programs that use the skins.
static void RegisterUiResources() { Q_INIT_RESOURCE(quillon_ui); }

namespace qln {

bool ApplyButtonSkin(SkinnedButton& button, ButtonSkin skin) {
  static const bool registered = (RegisterUiResources(), true);
  (void)registered;
  switch (skin) {
    case ButtonSkin::Common:
      return button.SetBitmap(QImage(QStringLiteral(":/ui/button_strip_common.png")), 5, 5, 5, 5,
                              4);
    case ButtonSkin::Port:
      return button.SetBitmap(QImage(QStringLiteral(":/ui/button_strip_port.png")), 6, 1, 1, 1, 1);
  }
  return false;
}

}  // namespace qln
