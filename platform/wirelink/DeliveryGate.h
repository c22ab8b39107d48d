#pragma once
// A gate in front of a borrowed callback object. Deliveries pass through
// Enter/Leave; Close shuts the gate and waits until deliveries running on
// other threads have left, so the object may be destroyed afterwards. A
// thread that closes the gate from inside its own delivery does not wait for
// itself (that would never end).

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace Aux {
namespace CSCenter {

class DeliveryGate {
public:
    DeliveryGate() = default;
    DeliveryGate(const DeliveryGate&) = delete;
    DeliveryGate& operator=(const DeliveryGate&) = delete;

    // False when the gate is closed: the delivery must not happen.
    bool Enter();
    void Leave();
    void Close();
    bool IsOpen();

private:
    std::mutex m_mutex;
    std::condition_variable m_left;
    bool m_open = true;
    std::vector<std::thread::id> m_inside;
};

// Enter in the constructor, Leave in the destructor.
class GatePass {
public:
    explicit GatePass(DeliveryGate& gate) : m_gate(gate), m_entered(gate.Enter()) {}
    ~GatePass()
    {
        if (m_entered)
            m_gate.Leave();
    }
    GatePass(const GatePass&) = delete;
    GatePass& operator=(const GatePass&) = delete;
    explicit operator bool() const { return m_entered; }

private:
    DeliveryGate& m_gate;
    bool m_entered;
};

}  // namespace CSCenter
}  // namespace Aux
