// The profiler's network server against a raw client; the test thread drives Server_Update.
#include "support/test_support.h"
#include "support/ws_client.h"

#include "profiler/net_internal.h"

namespace {

using qv_test::Bytes;
using qv_test::kHandshakeAnswer;
using qv_test::pause_ms;
using qv_test::text_of;
using RawClient = qv_test::WsClient;

const std::string kHost = "Host: h\r\n", kVersion = "Sec-WebSocket-Version: 13\r\n",
                  kKey = std::string("Sec-WebSocket-Key: ") + qv_test::kHandshakeKey + "\r\n";
std::string get(const std::string& fields) {
    return "GET / HTTP/1.1\r\n" + fields + "\r\n";
}
// As a browser sends it, with a field the server has no use for.
std::string request_with(const std::string& version) {
    return "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\n"
           "Connection: Upgrade\r\n" +
           kKey + "Origin: http://example.com\r\nSec-WebSocket-Version: " + version + "\r\n\r\n";
}

const prf_u8 kMask[4] = {0x37, 0xFA, 0x21, 0x3D};
Bytes masked(const std::string& text, int form = 0, const prf_u8* mask = kMask) {
    return qv_test::client_frame(0x81, Bytes(text.begin(), text.end()), mask, form);
}

std::vector<std::string> g_log_lines;

class NetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = qv_test::pick_free_port();
        ASSERT_EQ(Server_Open(&server_, port_), PRF_ERROR_NONE);
        // What the handler was given: empty unless a NUL follows it.
        server_.on_message = [](void* self, prf_u8* data, prf_u32 length) {
            ((NetTest*)self)->messages_.emplace_back((const char*)data, data[length] ? 0 : length);
            return ((NetTest*)self)->answer_;
        };
        server_.on_message_context = this;
        g_log_lines.clear();
        prf_net_log_line = [](const char* text) { g_log_lines.push_back(text); };
    }
    void TearDown() override {
        Server_Close(&server_);
        prf_net_log_line = PostLogText;
    }

    void connect_viewer(RawClient& client) {
        ASSERT_TRUE(client.connect_to(port_));
        client.send(request_with("13"));
        server_.ping_tick = os_prf_tick_ms();
        for (int i = 0; i < 200 && !Server_HasViewer(&server_); ++i)
            update(1, 5);
        ASSERT_TRUE(Server_HasViewer(&server_));
        ASSERT_EQ(text_of(client.receive(kHandshakeAnswer.size())), kHandshakeAnswer);
    }

    // Several passes, so that bytes in flight have surely arrived.
    void update(int passes = 3, int pause = 2) {
        for (int i = 0; i < passes; ++i) {
            pause_ms(pause);
            Server_Update(&server_);
        }
    }

    prf_error send_payload(const Bytes& payload) {
        EXPECT_EQ(SendBuffer_Reset(&server_.send_buf), PRF_ERROR_NONE);
        EXPECT_EQ(ByteBuffer_Append(&server_.send_buf, payload.data(), (prf_u32)payload.size()),
                  PRF_ERROR_NONE);
        return Server_Send(&server_, server_.send_buf.data, server_.send_buf.bytes_filled, 1000);
    }

    prf_error viewer_recv() {
        prf_u8 byte;
        return WsConn_Recv(server_.client_socket, &byte, nullptr, 1, 0);
    }

    Server server_ = {};
    std::vector<std::string> messages_;
    prf_error answer_ = PRF_ERROR_NONE;
    prf_u16 port_ = 0;
};

// Requests arrive in pieces slower than one 20 ms read step; a refusal closes the connection.
TEST_F(NetTest, HandshakeAnswersOrRefusesAndClosesTheConnection) {
    const std::pair<std::string, prf_error> cases[] = {
        {request_with("8"), PRF_ERROR_NONE},
        {"PUT / HTTP/1.1\r\n" + kHost + kVersion + kKey + "\r\n", PRF_ERROR_HANDSHAKE_NOT_GET},
        {get(kHost + kKey), PRF_ERROR_HANDSHAKE_NO_VERSION},
        {request_with("7"), PRF_ERROR_HANDSHAKE_VERSION},
        {get(kVersion + kKey), PRF_ERROR_HANDSHAKE_NO_HOST},
        {get(kHost + kVersion), PRF_ERROR_HANDSHAKE_NO_KEY},
        {get("host: h\r\n" + kVersion + kKey), PRF_ERROR_HANDSHAKE_NO_HOST}, // case-sensitive
        {"GET / HTTP/1.1\r\nHost: h\r\n", PRF_ERROR_RECV_TIMEOUT},           // no blank line, ever
    };
    for (const auto& [request, error] : cases) {
        RawClient client;
        ASSERT_TRUE(client.connect_to(port_));
        std::thread writer([&client, &text = request] { // clang 14 captures no bindings
            client.send(text.substr(0, 10));
            pause_ms(60);
            client.send(text.substr(10));
        });
        pause_ms(5);
        WsConn* viewer = nullptr;
        EXPECT_EQ(WsConn_Accept(server_.listener, &viewer), error) << request;
        if (viewer != nullptr)
            WsConn_Destroy(viewer);
        writer.join();
        if (error == PRF_ERROR_NONE)
            EXPECT_EQ(text_of(client.receive(kHandshakeAnswer.size())), kHandshakeAnswer);
        else
            EXPECT_TRUE(client.closed_by_peer()) << request;
    }
    // Refused in a pass, the listener is closed; the next pass makes a new one.
    RawClient refused, client;
    ASSERT_TRUE(refused.connect_to(port_));
    refused.send(request_with("7"));
    update(1, 5);
    EXPECT_EQ(server_.listener, nullptr);
    EXPECT_TRUE(refused.closed_by_peer());
    Server_Update(&server_);
    ASSERT_NE(server_.listener, nullptr);
    connect_viewer(client);
}

// Pinged once a second: nothing else follows the handshake's answer or the ping.
TEST_F(NetTest, ShortestHeadersPingOncePerSecondAndAViewerThatLeftIsDroppedOnAFailedSend) {
    RawClient client;
    connect_viewer(client);
    const std::pair<size_t, Bytes> cases[] = {
        {0, {0x82, 0}},
        {125, {0x82, 125}},
        {126, {0x82, 126, 0x00, 0x7E}},
        {65535, {0x82, 126, 0xFF, 0xFF}},
        {65536, {0x82, 127, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x00}},
    };
    for (const auto& [size, header] : cases) {
        Bytes payload(size), expected = header;
        for (size_t i = 0; i < size; ++i)
            payload[i] = (prf_u8)(i * 7 + 3);
        expected.insert(expected.end(), payload.begin(), payload.end());
        std::thread sender([&] { EXPECT_EQ(send_payload(payload), PRF_ERROR_NONE); });
        Bytes got = client.receive(expected.size());
        sender.join();
        EXPECT_TRUE(got == expected) << size;
    }
    server_.ping_tick = os_prf_tick_ms() - 1001 - 50;
    for (int i = 0; i < 3; ++i)
        Server_Update(&server_); // the first pass pings; the others fall within its second
    EXPECT_TRUE(client.receive(7) == (Bytes{0x82, 5, 'P', 'I', 'N', 'G', 0}));
    EXPECT_FALSE(client.readable(50));
    EXPECT_EQ(viewer_recv(), PRF_ERROR_RECV_EMPTY);
    client.close();
    // The system may take the first send after the peer closed; the reset fails a later one.
    prf_error last = PRF_ERROR_NONE;
    for (int i = 0; i < 100 && Server_HasViewer(&server_); ++i) {
        last = send_payload(Bytes(64, 'x'));
        pause_ms(5);
    }
    EXPECT_FALSE(Server_HasViewer(&server_));
    EXPECT_EQ(last, PRF_ERROR_SEND);
    EXPECT_EQ(send_payload(Bytes(8, 'y')), PRF_ERROR_NONE); // to nobody: nothing to do
}

// Input as big as the receive buffer or more is logged and skipped; one byte less is taken.
TEST_F(NetTest, MessagesFromTheViewerInEveryFormOversizedOnesSkippedAndPiecesJoined) {
    RawClient client;
    connect_viewer(client);
    const std::string texts[] = {"CONI hello", "GSMP" + std::string(300, 'm'),
                                 "CONI" + std::string(600, 'l'), "CONI" + std::string(1018, 'z')};
    for (const Bytes& frame :
         {masked(texts[0]), masked(std::string(1500, 'x')), masked(texts[1], 126),
          masked(texts[2], 127), masked(std::string(1023, 'y')), masked("unmasked", 0, nullptr),
          masked("ab"), // shorter than an identifier: read, but handed to nobody
          masked(texts[3])})
        client.send(frame);
    update();
    EXPECT_EQ(messages_,
              (std::vector<std::string>{texts[0], texts[1], texts[2], "unmasked", texts[3]}));
    EXPECT_EQ(g_log_lines, std::vector<std::string>(2, "Ignoring console input bigger than "
                                                       "internal receive buffer (1024 bytes)"));
    EXPECT_TRUE(Server_HasViewer(&server_));

    // A frame whose payload has not begun waits for a later pass; one begun is read whole in
    // the pass over several reads, the mask's position running on.
    messages_.clear();
    const Bytes frame = masked("CONI split message");
    client.send(Bytes(frame.begin(), frame.begin() + 6)); // the header and key alone
    update(2);
    EXPECT_TRUE(messages_.empty());
    client.send(Bytes(frame.begin() + 6, frame.begin() + 11));
    std::thread writer([&] { // the rest comes while the pass waits
        pause_ms(30);
        client.send(Bytes(frame.begin() + 11, frame.end()));
    });
    Server_Update(&server_);
    writer.join();
    EXPECT_TRUE(Server_HasViewer(&server_));
    EXPECT_EQ(messages_, std::vector<std::string>{"CONI split message"});
}

// Every frame but a whole text or binary one ends the connection, as does a handler's error.
TEST_F(NetTest, HostileFramesDropTheViewerWithTheirCodes) {
    const std::pair<Bytes, prf_error> cases[] = {
        {{0x88, 0x00}, PRF_ERROR_VIEWER_CLOSED},
        {{0x88, 0x80, 1, 2, 3, 4}, PRF_ERROR_VIEWER_CLOSED}, // masked, as a browser sends it
        {{0x89, 0x00}, PRF_ERROR_FRAME_HEADER},              // ping
        {{0x01, 0x01, 'a'}, PRF_ERROR_FRAME_HEADER},         // first fragment of a text message
        {{0x80, 0x01, 'a'}, PRF_ERROR_FRAME_HEADER},         // final continuation
        {{0x82, 0x7E, 0x01}, PRF_ERROR_FRAME_LENGTH},        // extended length cut short
        {masked("GSMP1234"), PRF_ERROR_OUT_OF_MEMORY},       // the handler's answer
    };
    answer_ = PRF_ERROR_OUT_OF_MEMORY;
    for (const auto& [frame, error] : cases) {
        RawClient client;
        connect_viewer(client);
        client.send(frame);
        if (error != PRF_ERROR_OUT_OF_MEMORY) {
            pause_ms(20);
            EXPECT_EQ(viewer_recv(), error);
            client.send(frame);
        }
        update();
        EXPECT_FALSE(Server_HasViewer(&server_));
        EXPECT_TRUE(client.closed_by_peer());
    }
    EXPECT_EQ(messages_.size(), 1u);
}

} // namespace
