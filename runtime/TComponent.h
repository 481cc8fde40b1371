// The base of the library's components: something that has an owner and can
// be named as the Sender of an event.
#pragma once

namespace q31 {

class TComponent {
public:
    explicit TComponent(TComponent* owner = nullptr) : owner_(owner) {}
    virtual ~TComponent() = default;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }

private:
    TComponent* owner_;
};

}  // namespace q31
