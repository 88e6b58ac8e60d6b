#include "sync/sync.hpp"
#include "core/files.hpp"
#include "state/records.hpp"
#include "state/state_fixture.hpp"
#include "support/failure.hpp"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <thread>

namespace qorn {
namespace {

// A host that takes one request and, instead of answering, has the player stop
// the run and then drops the connection.
class StoppingHost {
public:
    explicit StoppingHost(Cancel& cancel) : cancel_(cancel) {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            const SOCKET client = accept(listener_, nullptr, nullptr);
            char request[4096];
            requests_ += recv(client, request, sizeof request, 0) > 0 ? 1 : 0;
            cancel_.cancel();
            closesocket(client);
        });
    }
    ~StoppingHost() {
        closesocket(listener_);
        thread_.join();
        WSACleanup();
    }
    std::wstring manifest_url() const { return L"http://127.0.0.1:" + std::to_wstring(port_) + L"/api/manifest"; }
    int requests() const { return requests_; }

private:
    Cancel& cancel_;
    SOCKET listener_;
    unsigned short port_ = 0;
    int requests_ = 0;
    std::thread thread_;
};

TEST(Sync, AStopDuringTheHostQuestionIsAStopNotALostHost) {
    test::TempFolder folder;
    const State state(folder / L"client");
    const test::Bodies client = {{"Main.exe", "main"}};
    const Manifest installed = test::release_of(client);
    test::write_client(state.root(), client);
    write_state_file(state, "installed.json", installed.text);
    write_verified(state, installed);

    Cancel cancel;
    std::wstring manifest_url;
    {
        StoppingHost host(cancel);
        manifest_url = host.manifest_url();
        EXPECT_THROW(run_sync(state.root(), manifest_url, false, cancel, {}, true), Cancelled);
        EXPECT_EQ(host.requests(), 1);
    }
    // The offline fallback would have logged the host's failure and answered with the verified release.
    EXPECT_FALSE(file_info(state.file("launcher.log")).exists);
    EXPECT_TRUE(read_verified(state));
}

}  // namespace
}  // namespace qorn
