#include "platform/window.h"

namespace mira {

bool PostMessageW(MiraWindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (window == 0) return false;
    const auto* target = reinterpret_cast<const MiraWindow*>(window);
    if (target->post == nullptr) return false;
    target->post(target->context, message, wParam, lParam);
    return true;
}

}  // namespace mira
