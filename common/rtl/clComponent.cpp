#include "rtl/clComponent.h"

#include <algorithm>

namespace cl {

TComponent::~TComponent() { NotifyDestroying(); }

void TComponent::NotifyDestroying() {
    FDestroying = true;
    while (!FFreeNotifies.empty()) {
        TComponent* other = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        other->Unlink(this);
        other->Notification(this, opRemove);
    }
}

void TComponent::FreeNotification(TComponent* AComponent) {
    if (AComponent == nullptr || AComponent == this) return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end()) {
        FFreeNotifies.push_back(AComponent);
        AComponent->FFreeNotifies.push_back(this);
    }
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
    if (AComponent == nullptr) return;
    Unlink(AComponent);
    AComponent->Unlink(this);
}

void TComponent::Unlink(TComponent* AComponent) {
    FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent), FFreeNotifies.end());
}

}  // namespace cl
