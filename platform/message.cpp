#include "platform/message.h"

#include <QCoreApplication>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define QUARN_TSAN 1
#endif

namespace platform {

CPostedMessage::CPostedMessage(UINT message, WPARAM wParam, LPARAM lParam, std::uint32_t sender,
                               std::any payload)
    : QEvent(static_cast<QEvent::Type>(message)), m_message(message), m_wParam(wParam),
      m_lParam(lParam), m_sender(sender), m_payload(std::move(payload)) {}

// Qt hands events over through its own futex-based mutex, which the race
// detector cannot see; mark the handover so the payload is not reported.
void PostMessage(QObject* target, CPostedMessage* message) {
#if defined(QUARN_TSAN)
    __tsan_release(message);
#endif
    QCoreApplication::postEvent(target, message);
}

void AcceptMessage(const CPostedMessage* message) {
#if defined(QUARN_TSAN)
    __tsan_acquire(const_cast<CPostedMessage*>(message));
#else
    (void)message;
#endif
}

} // namespace platform
