// The application channel: an application process's messaging client, its receive endpoints,
// messages to other applications' "<name>Action" endpoints and event ids to "CCMEvent".
#pragma once

#include <cstdint>
#include <string>

#include "CoreSystem/Application/ApplicationMessage.h"
#include "CoreSystem/NM/NMClient.h"

namespace CoreSystem {

/// Bytes of the process-wide receive scratch buffer every receive copies a frame into.
inline constexpr int kReceiveScratchBytes = 10240;
/// Suffix of an application's receive endpoint ("Radio" is reached at "RadioAction").
inline constexpr const char* kActionSuffix = "Action";

/// An application process's channel to the rest of the device.
///
/// Receiving: one thread of the process at a time takes frames through the process-wide scratch
/// buffer, under a process-local lock held from taking the frame to copying it; a receive that
/// overlaps it (another thread, another channel) uses a buffer of its own thread instead, so
/// receives never share the buffer and never wait for each other. Sending may happen from any
/// thread (locking as NM::NMClient::send).
class ApplicationChannel {
public:
    /// `pollingMode`: receive never blocks. Resolves "CCMEvent" once (-1 without a registry).
    explicit ApplicationChannel(bool pollingMode);
    /// Withdraws the channel's receive endpoints and stops its client.
    virtual ~ApplicationChannel();
    ApplicationChannel(const ApplicationChannel&) = delete;
    ApplicationChannel& operator=(const ApplicationChannel&) = delete;

    /// The next message, owned by the caller, or null when none was taken (polling mode with
    /// nothing queued, or a failed wait). Frames too short to hold an id (1 to 3 bytes) or longer
    /// than the scratch buffer are dropped and the next frame is taken.
    virtual ApplicationMessage* receive();
    /// Opens this process's receive endpoint `name` and returns its channel index (-1 when the
    /// name cannot be resolved).
    int openEndpoint(const std::string& name);
    /// Sends the message to "<application>Action" (resolved on every call); failures are reported
    /// by the messaging layer only.
    void sendToApplication(const std::string& application, ApplicationMessage& message);
    /// Stamps `eventId` into the message and sends it to "CCMEvent" when the id is positive; a
    /// negative id prints "APP <pid> SENT AN INVALID EVENT ID <id>" and sends nothing; 0 does
    /// nothing else.
    void postEventId(int eventId, ApplicationMessage& message);
    /// The same with the 4-byte id alone as the frame payload.
    void postEventId(int eventId);

    NM::NMClient& client() { return client_; }
    int eventChannelIndex() const { return eventChannelIndex_; }

protected:
    /// Takes the next frame of 4 to 10240 bytes as a message with its channel index, or null.
    ApplicationMessage* takeMessage();

private:
    /// False (after printing the invalid-id line for a negative id) when `eventId` is not sent.
    static bool Postable(int eventId);

    NM::NMClient client_;
    int eventChannelIndex_;
};

}  // namespace CoreSystem
