// Screen requests: each is assembled in the 1024-byte request buffer and sent with NM.
#include "ScreenActionClient.h"

#include <cstdlib>
#include <cstring>

#include "CoreSystem/NM/NMClient.h"

std::string ScreenshotFailureName(const std::string& path) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : path) hash = (hash ^ c) * 1099511628211ull;
    static const char digits[] = "0123456789abcdef";
    std::string name = "/ScreenShotFailed.";
    for (int shift = 60; shift >= 0; shift -= 4) name += digits[(hash >> shift) & 0xF];
    return name;
}

ScreenActionClient::ScreenActionClient()
    : client_(new NM::NMClient(false)),
      screenActionIndex_(client_->getChannelIndex(kScreenActionEndpoint)),
      screenshotActionIndex_(client_->getChannelIndex(kScreenshotActionEndpoint)),
      buffer_(static_cast<char*>(std::malloc(kRequestBufferSize))),
      ready_(buffer_ != nullptr) {}

ScreenActionClient::~ScreenActionClient() {
    std::free(buffer_);
    delete client_;
}

std::size_t ScreenActionClient::heldBack() const {
    return client_->heldBack(screenActionIndex_) + client_->heldBack(screenshotActionIndex_);
}

void ScreenActionClient::send(int index, int size) {
    lastResult_ = client_->send(index, buffer_, size);
}

void ScreenActionClient::sendWords(int index, std::int32_t code, std::initializer_list<std::int32_t> words) {
    if (!ready_) return;
    std::memcpy(buffer_, &code, sizeof code);
    int offset = 4;
    for (std::int32_t word : words) {
        std::memcpy(buffer_ + offset, &word, sizeof word);
        offset += 4;
    }
    send(index, offset);
}

void ScreenActionClient::sendText(int index, std::int32_t code, std::int32_t word1, std::int32_t word2,
                                  const std::string& text) {
    if (!ready_) return;
    const std::size_t size = text.size() + kTextRequestOverhead;
    if (size >= static_cast<std::size_t>(kRequestBufferSize)) {
        lastResult_ = 0;
        return;
    }
    std::memcpy(buffer_, &code, 4);
    std::memcpy(buffer_ + 4, &word1, 4);
    std::memcpy(buffer_ + 8, &word2, 4);
    std::memcpy(buffer_ + 12, text.c_str(), text.size() + 1);
    send(index, static_cast<int>(size));
}

void ScreenActionClient::sendAction0(int a) {
    sendWords(screenActionIndex_, 0, {a});
}
void ScreenActionClient::sendAction1(int a) {
    sendWords(screenActionIndex_, 1, {a});
}
void ScreenActionClient::sendAction2() {
    sendWords(screenActionIndex_, 2, {0});
}
void ScreenActionClient::sendAction11(int a) {
    sendWords(screenActionIndex_, 11, {a});
}
void ScreenActionClient::sendAction12(int a) {
    sendWords(screenActionIndex_, 12, {a});
}

void ScreenActionClient::requestScreenshot(std::string path, int flag) {
    sendText(screenshotActionIndex_, kScreenshotRequest, 0, flag, path);
}

void ScreenActionClient::sendAction101(int a, std::string text) {
    sendText(screenActionIndex_, 101, a, 0, text);
}
void ScreenActionClient::sendAction101(int a, const std::string& text, int b) {
    sendText(screenActionIndex_, 101, a, b, text);
}
void ScreenActionClient::sendAction101(int& a, std::string& text, int& b) {
    sendText(screenActionIndex_, 101, a, b, text);
}

void ScreenActionClient::sendAction102(int a, int b, int c) {
    sendWords(screenActionIndex_, 102, {a, b, c});
}
void ScreenActionClient::sendAction103(int a, int b, int c, int d) {
    sendWords(screenActionIndex_, 103, {a, b, c, d});
}
void ScreenActionClient::sendAction104(int a, int b, int c) {
    sendWords(screenActionIndex_, 104, {a, b, c});
}
void ScreenActionClient::sendAction105(int a, int b) {
    sendWords(screenActionIndex_, 105, {a, b < 0 ? 0 : (b > 100 ? 100 : b)});
}
void ScreenActionClient::sendAction106(int a, int b, int c) {
    sendWords(screenActionIndex_, 106, {a, b, c});
}
void ScreenActionClient::sendAction107(int /*a*/, int b) {
    sendWords(screenActionIndex_, 107, {0, b});
}
