// The screen service's proxy: one operation per request kind, each sent as one NM message to
// "ScreenAction" or (screenshots) "ScreenshotAction".
#pragma once

#include <cstdint>
#include <string>

namespace NM {
class NMClient;
}

/// Endpoint of every screen request but the screenshot request.
inline constexpr const char* kScreenActionEndpoint = "ScreenAction";
/// Endpoint of the screenshot request (code 100).
inline constexpr const char* kScreenshotActionEndpoint = "ScreenshotAction";
/// Named semaphore the screen service posts once a screenshot file is written.
inline constexpr const char* kScreenshotSemaphore = "/ScreenShotWaiting";
/// Name of the shared-memory object in which the screen service leaves, as text, why the
/// screenshot it was asked to write at `path` (absolute) failed: "/ScreenShotFailed.<hash>".
std::string ScreenshotFailureName(const std::string& path);
/// Longest reason such an object holds.
inline constexpr int kMaxFailureReason = 1024;
/// Size of the request buffer; a text request must stay below it.
inline constexpr int kRequestBufferSize = 1024;
/// Fixed part of a text request: code, two words and the text's NUL.
inline constexpr int kTextRequestOverhead = 13;
/// Longest text a request carries.
inline constexpr int kMaxRequestText = kRequestBufferSize - kTextRequestOverhead - 1;
/// Request code of a screenshot.
inline constexpr std::int32_t kScreenshotRequest = 100;

/// Builds screen requests and sends them through its own NM client. Meant for one thread.
class ScreenActionClient {
public:
    /// Creates the NM client and resolves (claiming if needed) both endpoints.
    ScreenActionClient();
    ~ScreenActionClient();
    ScreenActionClient(const ScreenActionClient&) = delete;
    ScreenActionClient& operator=(const ScreenActionClient&) = delete;

    void sendAction0(int a);
    void sendAction1(int a);
    void sendAction2();
    void sendAction11(int a);
    void sendAction12(int a);
    /// Asks for a screenshot written to `path`; nothing is sent for a path over 1010 characters.
    void requestScreenshot(std::string path, int flag);
    void sendAction101(int a, std::string text);
    void sendAction101(int a, const std::string& text, int b);
    void sendAction101(int& a, std::string& text, int& b);
    void sendAction102(int a, int b, int c);
    void sendAction103(int a, int b, int c, int d);
    void sendAction104(int a, int b, int c);
    /// `b` is clamped to 0..100.
    void sendAction105(int a, int b);
    /// The first argument is not sent: word 1 is always 0.
    void sendAction107(int a, int b);
    void sendAction106(int a, int b, int c);

    /// Result of the last request's send: its size when sent or held back, -1 when refused,
    /// 0 before any request (and when a request was too long or the client is not ready).
    int lastResult() const { return lastResult_; }
    /// Channel indexes of the two endpoints (-1 when unresolved).
    int screenActionIndex() const { return screenActionIndex_; }
    int screenshotActionIndex() const { return screenshotActionIndex_; }
    /// Messages still held back for either endpoint because its receiver is not there.
    std::size_t heldBack() const;

private:
    void sendWords(int index, std::int32_t code, std::initializer_list<std::int32_t> words);
    void sendText(int index, std::int32_t code, std::int32_t word1, std::int32_t word2,
                  const std::string& text);
    void send(int index, int size);

    NM::NMClient* client_;
    int screenActionIndex_;
    int screenshotActionIndex_;
    char* buffer_;
    bool ready_;
    int lastResult_ = 0;
};
