// The base of the library's components: objects that may hold pointers to
// one another and must forget such a pointer when its target is destroyed
// (a client's request object, its external cookie store).
#pragma once

#include <vector>

#include "rtl/clEvents.h"

namespace cl {

enum TOperation { opInsert, opRemove };

class TComponent : public TObject {
public:
    TComponent() = default;
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    // Links the two components both ways: whichever is destroyed first tells
    // the other through Notification(itself, opRemove).
    void FreeNotification(TComponent* AComponent);
    void RemoveFreeNotification(TComponent* AComponent);

    // Set from the start of the destructor on.
    bool IsDestroying() const { return FDestroying; }

protected:
    virtual void Notification(TComponent* /*AComponent*/, TOperation /*AOperation*/) {}
    // Descendants call this first in their own destructors, so that the
    // others forget this one while it is still whole.
    void NotifyDestroying();

private:
    void Unlink(TComponent* AComponent);

    std::vector<TComponent*> FFreeNotifies;
    bool FDestroying = false;
};

}  // namespace cl
