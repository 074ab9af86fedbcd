// The profiler's network server against a raw socket client written here: the opening
// handshake, frames in both directions, the update pass's drop and ping rules. The server is
// driven by calling Server_Update from the test thread between client writes.
#include "support/test_support.h"
#include "support/ws_client.h"

#include "profiler/net_internal.h"

#include <chrono>
#include <string.h>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// Ports away from the profiler's own, one per test, so that a running game or a parallel
// test never collides with these.
constexpr prf_u16 kBasePort = 27815;

using Bytes = std::vector<prf_u8>;

void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

using RawClient = qv_test::WsClient;
using qv_test::client_frame;

const char kExampleKey[] = "dGhlIHNhbXBsZSBub25jZQ==";
const char kExampleResponse[] = "HTTP/1.1 101 Switching Protocols\r\n"
                                "Upgrade: websocket\r\n"
                                "Connection: Upgrade\r\n"
                                "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

std::string request_with(const std::string& version, const std::string& key) {
    return "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\n"
           "Connection: Upgrade\r\nSec-WebSocket-Key: " +
           key + "\r\nOrigin: http://example.com\r\nSec-WebSocket-Version: " + version + "\r\n\r\n";
}

Bytes text_bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

const prf_u8 kMask[4] = {0x37, 0xFA, 0x21, 0x3D};

std::vector<std::string> g_log_lines;
void record_log_line(const char* text) {
    g_log_lines.push_back(text);
}

struct Received {
    std::vector<std::string> messages;
    bool nul_after_each = true;
    prf_error answer = PRF_ERROR_NONE;
};

prf_error record_message(void* context, prf_u8* data, prf_u32 length) {
    Received* received = (Received*)context;
    received->messages.emplace_back((const char*)data, length);
    if (data[length] != '\0')
        received->nul_after_each = false;
    return received->answer;
}

// A server on its own port with the message and log recorders in place.
class NetTest : public ::testing::Test {
  protected:
    void open_server(int offset) {
        port_ = (prf_u16)(kBasePort + offset);
        ASSERT_EQ(Server_Open(&server_, port_), PRF_ERROR_NONE);
        opened_ = true;
        server_.on_message = record_message;
        server_.on_message_context = &received_;
        g_log_lines.clear();
        prf_net_log_line = record_log_line;
    }
    void TearDown() override {
        if (opened_)
            Server_Close(&server_);
        prf_net_log_line = PostLogText;
    }

    // Connects `client`, runs the handshake through the update pass and reads the response.
    void connect_viewer(RawClient& client) {
        ASSERT_TRUE(client.connect_to(port_));
        client.send_text(request_with("13", kExampleKey));
        // No ping in the way of what a test expects to read; the ping test asks for one.
        server_.ping_tick = os_prf_tick_ms();
        for (int i = 0; i < 200 && !Server_HasViewer(&server_); ++i) {
            Server_Update(&server_);
            if (!Server_HasViewer(&server_))
                pause_ms(5);
        }
        ASSERT_TRUE(Server_HasViewer(&server_));
        Bytes response = client.receive(sizeof(kExampleResponse) - 1);
        ASSERT_EQ(std::string(response.begin(), response.end()), kExampleResponse);
    }

    // Accepts the pending connection with the handshake and gives its result.
    prf_error accept_once() {
        WsConn* viewer = nullptr;
        prf_error error = WsConn_Accept(server_.listener, &viewer);
        if (viewer != nullptr)
            WsConn_Destroy(viewer);
        return error;
    }

    // Several passes, so that bytes in flight on loopback have surely arrived.
    void update(int passes = 3) {
        for (int i = 0; i < passes; ++i) {
            pause_ms(2);
            Server_Update(&server_);
        }
    }

    // Sends a payload to the viewer through the send buffer and its reserve.
    prf_error send_payload(const Bytes& payload) {
        EXPECT_EQ(SendBuffer_Reset(&server_.send_buf), PRF_ERROR_NONE);
        EXPECT_EQ(ByteBuffer_Append(&server_.send_buf, payload.data(), (prf_u32)payload.size()),
                  PRF_ERROR_NONE);
        return Server_Send(&server_, server_.send_buf.data, server_.send_buf.bytes_filled, 1000);
    }

    Server server_ = {};
    Received received_;
    prf_u16 port_ = 0;
    bool opened_ = false;
};

std::string hex(const prf_u8* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

TEST(NetHash, Sha1KnownVectors) {
    struct Case {
        std::string input;
        const char* digest;
    };
    const Case cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        // 56 bytes: the length no longer fits the first padding block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const Case& c : cases) {
        prf_u8 digest[20];
        Sha1_Digest(c.input.data(), (prf_u32)c.input.size(), digest);
        EXPECT_EQ(hex(digest, 20), c.digest) << "length " << c.input.size();
    }
}

TEST(NetHash, Base64KnownVectors) {
    const char* cases[][2] = {{"", ""},
                              {"f", "Zg=="},
                              {"fo", "Zm8="},
                              {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="},
                              {"fooba", "Zm9vYmE="},
                              {"foobar", "Zm9vYmFy"},
                              {"\xff\xfe\xfd", "//79"}};
    for (auto& c : cases) {
        char out[32];
        prf_u32 length = Base64_Encode((const prf_u8*)c[0], (prf_u32)strlen(c[0]), out, 32);
        EXPECT_EQ(std::string(out, length), c[1]);
        EXPECT_EQ(out[length], '\0');
    }
    char small[9];
    EXPECT_EQ(Base64_Encode((const prf_u8*)"foobar", 6, small, 8), 0u); // 8 chars + NUL
    EXPECT_EQ(Base64_Encode((const prf_u8*)"foobar", 6, small, 9), 8u);
}

TEST_F(NetTest, HandshakeAnswersTheStandardsWorkedExampleByteForByte) {
    open_server(0);
    RawClient client;
    connect_viewer(client);
    EXPECT_EQ(server_.client_socket->mode, 2u);
    // Nothing but the response was sent.
    EXPECT_TRUE(client.nothing_arrived());
}

TEST_F(NetTest, HandshakeAcceptsVersion8AndARequestArrivingInPieces) {
    open_server(1);
    RawClient client;
    ASSERT_TRUE(client.connect_to(port_));
    std::string request = request_with("8", kExampleKey);
    std::thread writer([&] {
        client.send_text(request.substr(0, 40));
        pause_ms(60); // longer than one 20 ms read step
        client.send_text(request.substr(40));
    });
    pause_ms(5);
    EXPECT_EQ(accept_once(), PRF_ERROR_NONE);
    writer.join();
    Bytes response = client.receive(sizeof(kExampleResponse) - 1);
    EXPECT_EQ(std::string(response.begin(), response.end()), kExampleResponse);
}

TEST_F(NetTest, HandshakeRefusalsCloseTheConnection) {
    open_server(2);
    const std::string host = "Host: h\r\n";
    const std::string version = "Sec-WebSocket-Version: 13\r\n";
    const std::string key = std::string("Sec-WebSocket-Key: ") + kExampleKey + "\r\n";
    // Requests cut at 1023 bytes end without their blank line.
    std::string long_key = "GET / HTTP/1.1\r\n" + host + version + "Sec-WebSocket-Key: ";
    long_key += std::string(1023 - long_key.size(), 'A');
    // The key fits, but key and suffix do not fit in what is left of the request buffer.
    std::string late_key = "GET / HTTP/1.1\r\n" + host + version + "X-Pad: ";
    late_key +=
        std::string(1023 - late_key.size() - key.size() - 2 - 20, 'p') + "\r\n" + key + "\r\n";
    struct Case {
        std::string request;
        prf_error expected;
    };
    const Case cases[] = {
        {"PUT / HTTP/1.1\r\n" + host + version + key + "\r\n", PRF_ERROR_HANDSHAKE_NOT_GET},
        {"GET / HTTP/1.1\r\n" + host + key + "\r\n", PRF_ERROR_HANDSHAKE_NO_VERSION},
        {request_with("7", kExampleKey), PRF_ERROR_HANDSHAKE_VERSION},
        {request_with("14", kExampleKey), PRF_ERROR_HANDSHAKE_VERSION},
        {"GET / HTTP/1.1\r\n" + version + key + "\r\n", PRF_ERROR_HANDSHAKE_NO_HOST},
        {"GET / HTTP/1.1\r\n" + host + version + "\r\n", PRF_ERROR_HANDSHAKE_NO_KEY},
        // Names are matched case-sensitively.
        {"GET / HTTP/1.1\r\nhost: h\r\n" + version + key + "\r\n", PRF_ERROR_HANDSHAKE_NO_HOST},
        {long_key, PRF_ERROR_HANDSHAKE_KEY},
        {late_key, PRF_ERROR_HANDSHAKE_TEXT},
    };
    for (const Case& c : cases) {
        RawClient client;
        ASSERT_TRUE(client.connect_to(port_));
        client.send_text(c.request);
        pause_ms(5);
        EXPECT_EQ(accept_once(), c.expected) << c.request;
        EXPECT_TRUE(client.closed_by_peer()) << c.request;
    }
}

TEST_F(NetTest, HandshakeGivesUpOnARequestThatNeverEnds) {
    open_server(16);
    RawClient client;
    ASSERT_TRUE(client.connect_to(port_));
    client.send_text("GET / HTTP/1.1\r\nHost: h\r\n"); // no blank line, ever
    pause_ms(5);
    EXPECT_EQ(accept_once(), PRF_ERROR_RECV_TIMEOUT);
    EXPECT_TRUE(client.closed_by_peer());
}

TEST_F(NetTest, HandshakeFailureInTheUpdateRenewsTheListener) {
    open_server(3);
    {
        RawClient client;
        ASSERT_TRUE(client.connect_to(port_));
        client.send_text(request_with("7", kExampleKey));
        pause_ms(5);
        Server_Update(&server_);
        EXPECT_EQ(server_.listener, nullptr);
        EXPECT_FALSE(Server_HasViewer(&server_));
        EXPECT_TRUE(client.closed_by_peer());
    }
    Server_Update(&server_); // makes the listening socket again
    ASSERT_NE(server_.listener, nullptr);
    RawClient client;
    connect_viewer(client);
}

TEST_F(NetTest, FramesToTheViewerUseTheShortestHeader) {
    open_server(4);
    RawClient client;
    connect_viewer(client);
    struct Case {
        size_t payload;
        Bytes header;
    };
    const Case cases[] = {
        {0, {0x82, 0}},
        {125, {0x82, 125}},
        {126, {0x82, 126, 0x00, 0x7E}},
        {65535, {0x82, 126, 0xFF, 0xFF}},
        {65536, {0x82, 127, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        Bytes payload(c.payload);
        for (size_t i = 0; i < payload.size(); ++i)
            payload[i] = (prf_u8)(i * 7 + 3);
        std::thread sender([&] { EXPECT_EQ(send_payload(payload), PRF_ERROR_NONE); });
        Bytes got = client.receive(c.header.size() + c.payload);
        sender.join();
        ASSERT_EQ(got.size(), c.header.size() + c.payload) << c.payload;
        EXPECT_EQ(Bytes(got.begin(), got.begin() + c.header.size()), c.header) << c.payload;
        EXPECT_TRUE(Bytes(got.begin() + c.header.size(), got.end()) == payload) << c.payload;
    }
}

TEST_F(NetTest, MessagesFromTheViewerInEveryLengthForm) {
    open_server(5);
    RawClient client;
    connect_viewer(client);
    const std::string short_text = "CONI hello";
    const std::string mid_text = "GSMP" + std::string(300, 'm');
    const std::string long_text = "CONI" + std::string(600, 'l');
    client.send_frame(client_frame(0x81, text_bytes(short_text), kMask));
    client.send_frame(client_frame(0x82, text_bytes(mid_text), kMask, 126));
    client.send_frame(client_frame(0x82, text_bytes(long_text), kMask, 127));
    client.send_frame(client_frame(0x82, text_bytes("unmasked"), nullptr));
    // Shorter than an identifier: read, but handed to nobody.
    client.send_frame(client_frame(0x81, text_bytes("ab"), kMask));
    update();
    ASSERT_EQ(received_.messages.size(), 4u);
    EXPECT_EQ(received_.messages[0], short_text);
    EXPECT_EQ(received_.messages[1], mid_text);
    EXPECT_EQ(received_.messages[2], long_text);
    EXPECT_EQ(received_.messages[3], "unmasked");
    EXPECT_TRUE(received_.nul_after_each);
    EXPECT_TRUE(Server_HasViewer(&server_));
}

TEST_F(NetTest, MaskPositionCarriesAcrossReads) {
    open_server(6);
    RawClient client;
    connect_viewer(client);
    Bytes payload = text_bytes("0123456789abcdefghij"); // 20 bytes, not a multiple of 4
    client.send_frame(client_frame(0x82, payload, kMask));
    pause_ms(20);
    Bytes got;
    prf_u32 message_length = 0;
    for (prf_u32 piece : {1u, 3u, 5u, 7u, 4u}) {
        prf_u8 part[8];
        ASSERT_EQ(WsConn_Recv(server_.client_socket, part, &message_length, piece, 1000),
                  PRF_ERROR_NONE);
        got.insert(got.end(), part, part + piece);
    }
    EXPECT_EQ(message_length, 20u);
    EXPECT_TRUE(got == payload);
    EXPECT_EQ(server_.client_socket->frame_left, 0u);
}

TEST_F(NetTest, MaskedMessageWrittenInSeveralPiecesAcrossPasses) {
    open_server(7);
    RawClient client;
    connect_viewer(client);
    Bytes frame = client_frame(0x81, text_bytes("CONI split message"), kMask);
    // The header with its key alone: a pass reads it and finds no payload yet, and keeps the
    // viewer. The payload then comes in two writes while the next pass waits for the rest.
    client.send_bytes(frame.data(), 6);
    update(2);
    EXPECT_TRUE(received_.messages.empty());
    std::thread writer([&] {
        client.send_bytes(frame.data() + 6, 5);
        pause_ms(30);
        client.send_bytes(frame.data() + 11, frame.size() - 11);
    });
    pause_ms(10);
    Server_Update(&server_);
    writer.join();
    EXPECT_TRUE(Server_HasViewer(&server_));
    ASSERT_EQ(received_.messages.size(), 1u);
    EXPECT_EQ(received_.messages[0], "CONI split message");
}

TEST_F(NetTest, UnsupportedFramesGiveTheirCodes) {
    open_server(8);
    struct Case {
        Bytes bytes;
        prf_error expected;
    };
    const Case cases[] = {
        {{0x88, 0x00}, PRF_ERROR_VIEWER_CLOSED},
        {{0x89, 0x00}, PRF_ERROR_FRAME_HEADER},       // ping
        {{0x8A, 0x00}, PRF_ERROR_FRAME_HEADER},       // pong
        {{0x01, 0x01, 'a'}, PRF_ERROR_FRAME_HEADER},  // first fragment of a text message
        {{0x80, 0x01, 'a'}, PRF_ERROR_FRAME_HEADER},  // final continuation
        {{0x82, 0x7E, 0x01}, PRF_ERROR_FRAME_LENGTH}, // extended length cut short
    };
    for (const Case& c : cases) {
        RawClient client;
        connect_viewer(client);
        client.send_frame(c.bytes);
        pause_ms(20);
        prf_u8 byte;
        EXPECT_EQ(WsConn_Recv(server_.client_socket, &byte, nullptr, 1, 0), c.expected);
        Server_DropViewer(&server_);
        EXPECT_TRUE(client.closed_by_peer());
    }
}

TEST_F(NetTest, CloseFrameDropsTheViewerAndANewOneIsAcceptedLater) {
    open_server(9);
    for (prf_u8 first : {(prf_u8)0x88, (prf_u8)0x89, (prf_u8)0x01}) {
        RawClient client;
        connect_viewer(client);
        client.send_frame(client_frame(first, Bytes(), kMask));
        update();
        EXPECT_FALSE(Server_HasViewer(&server_)) << (int)first;
        EXPECT_TRUE(client.closed_by_peer());
    }
    RawClient client;
    connect_viewer(client);
    client.send_frame(client_frame(0x81, text_bytes("CONI again"), kMask));
    update();
    ASSERT_EQ(received_.messages.size(), 1u);
    EXPECT_EQ(received_.messages[0], "CONI again");
}

TEST_F(NetTest, OversizedConsoleInputIsLoggedOnceAndSkipped) {
    open_server(10);
    RawClient client;
    connect_viewer(client);
    client.send_frame(client_frame(0x81, Bytes(1500, 'x'), kMask));
    client.send_frame(client_frame(0x81, text_bytes("CONI after"), kMask));
    // Exactly at the limit is too big as well; one byte less is taken.
    client.send_frame(client_frame(0x81, Bytes(1023, 'y'), kMask));
    Bytes fits(1022, 'z');
    memcpy(fits.data(), "CONI", 4);
    client.send_frame(client_frame(0x81, fits, kMask));
    update();
    ASSERT_EQ(g_log_lines.size(), 2u);
    EXPECT_EQ(g_log_lines[0],
              "Ignoring console input bigger than internal receive buffer (1024 bytes)");
    ASSERT_EQ(received_.messages.size(), 2u);
    EXPECT_EQ(received_.messages[0], "CONI after");
    EXPECT_EQ(received_.messages[1], std::string(fits.begin(), fits.end()));
    EXPECT_TRUE(Server_HasViewer(&server_));
}

TEST_F(NetTest, AHandlerErrorDropsTheViewer) {
    open_server(11);
    RawClient client;
    connect_viewer(client);
    received_.answer = PRF_ERROR_OUT_OF_MEMORY;
    client.send_frame(client_frame(0x82, text_bytes("GSMP1234"), kMask));
    update();
    EXPECT_EQ(received_.messages.size(), 1u);
    EXPECT_FALSE(Server_HasViewer(&server_));
}

TEST_F(NetTest, PingOncePerSecondWithOrWithoutAViewer) {
    open_server(12);
    // Without a viewer the ping is built and attempted, and nothing goes anywhere.
    server_.ping_tick = os_prf_tick_ms() - 2000;
    prf_u32 before = server_.ping_tick;
    EXPECT_EQ(Server_Update(&server_), PRF_ERROR_NONE);
    EXPECT_NE(server_.ping_tick, before);
    const prf_u8 ping[15] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'P', 'I', 'N', 'G', 0};
    ASSERT_EQ(server_.send_buf.bytes_filled, 15u);
    EXPECT_EQ(memcmp(server_.send_buf.data, ping, 15), 0);
    // Not again within the second.
    server_.send_buf.bytes_filled = 0;
    prf_u32 pinged = server_.ping_tick;
    Server_Update(&server_);
    EXPECT_EQ(server_.ping_tick, pinged);
    EXPECT_EQ(server_.send_buf.bytes_filled, 0u);

    RawClient client;
    connect_viewer(client);
    server_.ping_tick = os_prf_tick_ms() - 1001 - 50;
    Server_Update(&server_);
    Bytes got = client.receive(7);
    EXPECT_TRUE(got == (Bytes{0x82, 5, 'P', 'I', 'N', 'G', 0}));
}

TEST_F(NetTest, AViewerThatLeftIsDroppedOnAFailedSend) {
    open_server(13);
    RawClient client;
    connect_viewer(client);
    client.close_socket();
    // The first send after the peer closed may still be taken by the system; the peer's
    // reset makes a later one fail.
    prf_error last = PRF_ERROR_NONE;
    for (int i = 0; i < 100 && Server_HasViewer(&server_); ++i) {
        last = send_payload(Bytes(64, 'x'));
        pause_ms(5);
    }
    EXPECT_FALSE(Server_HasViewer(&server_));
    EXPECT_EQ(last, PRF_ERROR_SEND);
    // With none connected a send does nothing and succeeds.
    EXPECT_EQ(send_payload(Bytes(8, 'y')), PRF_ERROR_NONE);
}

TEST_F(NetTest, PortTakenGives8AndTheUpdateRenewsTheListener) {
    open_server(14);
    Server second = {};
    EXPECT_EQ(Server_Open(&second, port_), PRF_ERROR_SOCKET_BIND);
    // The unusable socket stays until the accept fails on it.
    ASSERT_NE(second.listener, nullptr);
    EXPECT_EQ(TcpConn_Poll(second.listener->tcp_socket).error, PRF_ERROR_SOCKET_CLOSED);
    Server_Update(&second);
    EXPECT_EQ(second.listener, nullptr);
    // Once the port is free again, a pass makes a working listener.
    Server_Close(&server_);
    opened_ = false;
    Server_Update(&second);
    ASSERT_NE(second.listener, nullptr);
    RawClient client;
    ASSERT_TRUE(client.connect_to(port_));
    client.send_text(request_with("13", kExampleKey));
    for (int i = 0; i < 200 && !Server_HasViewer(&second); ++i) {
        pause_ms(5);
        Server_Update(&second);
    }
    EXPECT_TRUE(Server_HasViewer(&second));
    Server_Close(&second);
}

TEST_F(NetTest, ReceiveWithNothingPendingGives17) {
    open_server(15);
    RawClient client;
    connect_viewer(client);
    prf_u8 byte;
    EXPECT_EQ(TcpConn_Recv(server_.client_socket->tcp_socket, &byte, 1, 0), PRF_ERROR_RECV_EMPTY);
    EXPECT_EQ(WsConn_Recv(server_.client_socket, &byte, nullptr, 1, 0), PRF_ERROR_RECV_EMPTY);
    TcpConn* closed = nullptr;
    ASSERT_EQ(TcpConn_Create(&closed), PRF_ERROR_NONE);
    EXPECT_EQ(TcpConn_Poll(closed).error, PRF_ERROR_SOCKET_CLOSED);
    EXPECT_EQ(TcpConn_Send(closed, &byte, 1, 0), PRF_ERROR_SOCKET_CLOSED);
    TcpConn_Destroy(closed);
}

} // namespace
