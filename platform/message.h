// Posted window messages: a worker's reports reach the dialog's thread as
// queued events, in the order posted, and never wait for the dialog.
#pragma once

#include "platform/wintypes.h"

#include <QEvent>

#include <any>
#include <cstdint>

class QObject;

namespace platform {

class CPostedMessage : public QEvent {
public:
    // `payload` travels with the message and lives exactly as long as it, so
    // lParam may point into it without outliving what it points to.
    CPostedMessage(UINT message, WPARAM wParam, LPARAM lParam, std::uint32_t sender,
                   std::any payload = {});

    UINT Message() const { return m_message; }
    WPARAM WParam() const { return m_wParam; }
    LPARAM LParam() const { return m_lParam; }
    // Who posted it: lets a window tell current reports from stale ones.
    std::uint32_t Sender() const { return m_sender; }
    const std::any& Payload() const { return m_payload; }

private:
    UINT m_message;
    WPARAM m_wParam;
    LPARAM m_lParam;
    std::uint32_t m_sender;
    std::any m_payload;
};

// Queues the message for `target`'s thread. Qt drops it if the target is
// destroyed first; the caller must still guarantee `target` is alive now.
void PostMessage(QObject* target, CPostedMessage* message);

// Called by the receiving window before it reads a posted message.
void AcceptMessage(const CPostedMessage* message);

} // namespace platform
