// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/message_box.h"

namespace app {

MessageBoxStyle MessageBoxStyleOf(int32_t kind) {
  switch (kind) {
    case 1: return {"MessageBox_Confirm.xml", "MSG0402", true, "Cancel"};
    case 2: return {"MessageBox_Information.xml", "MSG0403", false, {}};
    case 3: return {"MessageBox_Warning.xml", "MSG0405", false, {}};
    case 4: return {"MessageBox_Question.xml", "MSG0404", true, "No"};
    default: return {"MessageBox_Error.xml", "MSG0401", false, {}};
  }
}

}  // namespace app
