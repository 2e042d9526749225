// CTonvale: the stream server. Listens on one TCP port, serves one client at a
// time, carries its frames out on the service's wave-out device and reports
// every returned buffer with CMD_PLAYED.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include "../protocol/frames.h"
#include "../protocol/receive_buffer.h"
#include "client_watch.h"
#include "play_device.h"
#include "service_app.h"

// A declared payload above this is refused as if it could not be allocated:
// no PCM block comes near it, and an unauthenticated peer must not make the
// service reserve whatever it asks for.
enum : int32_t { MAX_PAYLOAD_BYTES = 64 * 1024 * 1024 };

class CTonvale final : public CServiceApp, public IEndPlay {
  public:
    CTonvale();
    ~CTonvale();

    const wchar_t *GetName() override;
    const wchar_t *GetDescription() override;
    int Init() override;
    void Stop() override;
    void Run() override;
    void Pause() override;
    void Continue() override;

    void OnEndPlay(int32_t bytes) override;
    void OnEndPlayRun(const int32_t *lengths, int count) override;

    bool ReadFrame();
    void AwaitFrameWhileHeld();
    void DispatchFrame(const FrameHeader &header, const unsigned char *payload);
    void SendReply(uint8_t code, int32_t value);

    wchar_t ModuleBasePath[MAX_PATH] = {};
    wchar_t SettingsPath[MAX_PATH + 8] = {};
    uint16_t ListenPort = 0;
    volatile SOCKET ListenSocket = INVALID_SOCKET;
    volatile SOCKET ClientSocket = INVALID_SOCKET;
    PlayDevice Device;
    // DeviceLock serialises the receiving of a frame against the sending of
    // CMD_PLAYED reports: the run thread holds it from a frame's header to the
    // end of its payload (ReadFrame; a fault caught in between releases it in
    // ServeConnection), the device's release thread for each send of a run of
    // reports (OnEndPlayRun). It is never held while a frame is dispatched,
    // and so never across a device flush or close: those wait for the release
    // thread, which may be waiting for this lock to report the very buffers
    // they drop.
    CRITICAL_SECTION DeviceLock;

  private:
    bool OpenListenSocket();
    bool ServeConnection();
    void EndConnection();
    void SetUpConnection(SOCKET client);
    bool ReceiveAll(unsigned char *buffer, int32_t length);
    bool TakeReceived(unsigned char *into, int32_t length);
    const unsigned char *ReceivePayload(int32_t length);

    // Bytes of the connection received ahead of the frame being read: one
    // receive takes as many frames as have arrived, where a receive per
    // header and one per payload cost two socket calls per CMD_WRITE.
    unsigned char ReceivedBytes[64 * 1024];
    ReceiveBuffer Received = {ReceivedBytes, sizeof ReceivedBytes, 0, 0};

    // What a fault caught while serving must undo.
    unsigned char *PendingPayload = nullptr;
    bool PayloadLockHeld = false;
    IdleWatch Watch;
    DryWatch Dry;
};

// Called with the lock held once a frame's payload has arrived; null unless a
// test installs it (for instance to raise a fault inside the guarded handling).
extern void (*PayloadReceivedHook)(const FrameHeader &header, const unsigned char *payload);
