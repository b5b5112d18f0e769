// The HTTP transport of the site over Boost.Beast. Everything else lives in files without Beast,
// which takes long to compile.

#include "NubeloSite.h"

#include "SiteCore.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace nubelo::site {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr auto kIdleTimeout = std::chrono::seconds(120); // between requests on a kept connection
constexpr auto kBodyTimeout = std::chrono::seconds(300); // reading one whole request
constexpr auto kWriteTimeout = std::chrono::seconds(120);
constexpr auto kDrainTimeout = std::chrono::seconds(3);
constexpr std::size_t kHeaderLimit = 16 * 1024;
constexpr int kThreads = 3; // a store flushes to disk on its thread; the others go on serving

// The bytes of request bodies held in memory, over every connection of both hosts: without a
// bound of its own, each of many uploads at once takes up to the per-request limit.
class BodyBudget {
public:
    explicit BodyBudget(std::uint64_t limit)
        : mLimit(limit) {}

    // One body always fits when nothing else is held, so no limit shuts out every upload.
    bool take(std::uint64_t bytes) {
        std::lock_guard lock(mMutex);
        if (mHeld > 0 && (bytes > mLimit || mHeld > mLimit - bytes))
            return false;
        mHeld += bytes;
        return true;
    }
    void give(std::uint64_t bytes) {
        std::lock_guard lock(mMutex);
        mHeld -= bytes;
    }

private:
    std::mutex mMutex;
    const std::uint64_t mLimit;
    std::uint64_t mHeld = 0;
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket &&socket, std::shared_ptr<SiteCore> core,
               std::shared_ptr<BodyBudget> budget, HostKind host)
        : mStream(std::move(socket))
        , mCore(std::move(core))
        , mBudget(std::move(budget))
        , mHost(host)
        , mTimer(mStream.get_executor()) {}
    ~Connection() { releaseBody(); }

    void start() {
        net::dispatch(mStream.get_executor(), [self = shared_from_this()] { self->readHeader(); });
    }

private:
    std::uint64_t bodyLimit() const {
        return mHost == HostKind::Upload ? mCore->maxUpload() : mCore->maxSiteBody();
    }

    void releaseBody() {
        mBudget->give(mHeld);
        mHeld = 0;
    }

    void readHeader() {
        mParser.emplace();
        mParser->header_limit(kHeaderLimit);
        mParser->body_limit(bodyLimit());
        mUpload = 0;
        mHead = false;
        mStream.expires_after(kIdleTimeout);
        http::async_read_header(
            mStream, mBuffer, *mParser,
            beast::bind_front_handler(&Connection::onHeader, shared_from_this()));
    }

    void onHeader(beast::error_code ec, std::size_t) {
        if (ec)
            return onReadError(ec);
        mUpload = mCore->uploadBegins(requestView());
        // The string body reserves an announced length at once; a chunked one grows up to the
        // limit.
        const std::uint64_t body =
            mParser->chunked() ? bodyLimit() : mParser->content_length().value_or(0);
        if (body > 0 && !mBudget->take(body))
            return answer(mCore->refuse(requestView(), 503,
                                        "the site holds too many request bodies at once; "
                                        "try again later"),
                          false);
        mHeld = body;
        mStream.expires_after(kBodyTimeout);
        const auto expect = mParser->get()[http::field::expect];
        if (beast::iequals(expect, "100-continue") && !mParser->is_done()) {
            static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            net::async_write(mStream, net::buffer(kContinue.data(), kContinue.size()),
                             [self = shared_from_this()](beast::error_code e, std::size_t) {
                                 if (e)
                                     return self->closeNow();
                                 self->readBody();
                             });
            return;
        }
        readBody();
    }

    void readBody() {
        if (mCore->linkBitsPerSecond() > 0) {
            mPaceFrom = std::chrono::steady_clock::now();
            mPaced = 0;
            return readPaced();
        }
        http::async_read(mStream, mBuffer, *mParser,
                         beast::bind_front_handler(&Connection::onRequest, shared_from_this()));
    }

    // An emulated uplink: after each piece of the body, wait until the link would have carried
    // it, so that the request takes its size over the rate however fast loopback is, and the
    // client's sending is held back by the socket as a slow link holds it back.
    void readPaced() {
        if (mParser->is_done())
            return onRequest({}, 0);
        http::async_read_some(
            mStream, mBuffer, *mParser,
            [self = shared_from_this()](beast::error_code ec, std::size_t bytes) {
                if (ec)
                    return self->onReadError(ec);
                self->mPaced += bytes;
                const std::chrono::duration<double> carried(
                    double(self->mPaced) * 8.0 / double(self->mCore->linkBitsPerSecond()));
                self->mTimer.expires_at(
                    self->mPaceFrom +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(carried));
                self->mTimer.async_wait([self](beast::error_code e) {
                    if (e)
                        return self->closeNow();
                    self->readPaced();
                });
            });
    }

    HttpRequest requestView() const {
        const auto &message = mParser->get();
        HttpRequest request;
        request.host = mHost;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        for (const auto &field : message)
            request.fields.emplace_back(std::string(field.name_string()),
                                        std::string(field.value()));
        request.body = message.body();
        request.upload = mUpload;
        return request;
    }

    void onReadError(beast::error_code ec) {
        if (ec == net::error::operation_aborted)
            return;
        // Socket errors, time-outs and a clean close between requests end the connection
        // quietly; only a request that can still be answered gets a reason.
        const bool protocolError =
            ec.category() == make_error_code(http::error::bad_target).category();
        if (!protocolError || ec == http::error::end_of_stream)
            return closeNow();
        int status = 400;
        std::string reason;
        if (ec == http::error::body_limit) {
            status = 413;
            reason =
                "the body is larger than the limit of " + std::to_string(bodyLimit()) + " bytes";
        } else if (ec == http::error::header_limit) {
            status = 431;
            reason = "the request header is larger than " + std::to_string(kHeaderLimit) + " bytes";
        } else if (ec == http::error::partial_message) {
            reason = "the request was cut short";
        } else {
            reason = "malformed request: " + ec.message();
        }
        HttpRequest partial;
        partial.host = mHost;
        if (mParser) {
            // What arrived of the request line and fields, for the journal.
            partial = requestView();
            partial.body = {};
        }
        answer(mCore->refuse(partial, status, reason), false);
    }

    void onRequest(beast::error_code ec, std::size_t) {
        if (ec)
            return onReadError(ec);
        mKeepAlive = mParser->get().keep_alive();
        mHead = mParser->get().method() == http::verb::head;
        const HttpRequest request = requestView();
        HttpReply reply = mCore->handle(request);
        // The request body is no longer needed; a 64 MiB upload should not wait for the reply.
        mParser->get().body() = std::string();
        releaseBody();
        if (reply.delay.count() > 0) {
            mTimer.expires_after(reply.delay);
            mTimer.async_wait(
                [self = shared_from_this(), reply = std::move(reply)](beast::error_code e) mutable {
                    if (e)
                        return self->closeNow();
                    self->carryOut(std::move(reply));
                });
            return;
        }
        carryOut(std::move(reply));
    }

    void carryOut(HttpReply &&reply) {
        switch (reply.action) {
        case HttpReply::Action::Drop:
            return closeNow();
        case HttpReply::Action::Reset:
            return resetNow();
        case HttpReply::Action::Answer:
            break;
        }
        answer(std::move(reply), mKeepAlive && !reply.close);
    }

    void answer(HttpReply &&reply, bool keepAlive) {
        mResponse.emplace();
        auto &res = *mResponse;
        res.version(11);
        res.result(static_cast<unsigned>(reply.status));
        res.set(http::field::server, "nubelo-site");
        for (auto &[name, value] : reply.fields)
            res.insert(name, value);
        res.keep_alive(keepAlive);
        const auto size = reply.body.size();
        if (!mHead)
            res.body() = std::move(reply.body);
        res.prepare_payload();
        if (mHead)
            res.content_length(size);
        mStream.expires_after(kWriteTimeout);
        http::async_write(mStream, res,
                          [self = shared_from_this(), keepAlive](beast::error_code e, std::size_t) {
                              self->mResponse.reset();
                              if (e)
                                  return self->closeNow();
                              if (keepAlive)
                                  return self->readHeader();
                              self->drainAndClose();
                          });
    }

    // After an answer that ends the connection: stop sending, then read what the client still
    // sends for a while, so that closing does not reset the connection before it has read the
    // answer.
    void drainAndClose() {
        beast::error_code ec;
        mStream.socket().shutdown(tcp::socket::shutdown_send, ec);
        mStream.expires_after(kDrainTimeout);
        drain();
    }

    void drain() {
        mStream.async_read_some(net::buffer(mDrain),
                                [self = shared_from_this()](beast::error_code e, std::size_t) {
                                    if (e)
                                        return self->closeNow();
                                    self->drain();
                                });
    }

    void closeNow() {
        beast::error_code ec;
        mTimer.cancel();
        mStream.socket().shutdown(tcp::socket::shutdown_both, ec);
        mStream.close();
    }

    void resetNow() {
        beast::error_code ec;
        mTimer.cancel();
        mStream.socket().set_option(net::socket_base::linger(true, 0), ec);
        mStream.close();
    }

    beast::tcp_stream mStream;
    std::shared_ptr<SiteCore> mCore;
    std::shared_ptr<BodyBudget> mBudget;
    HostKind mHost;
    net::steady_timer mTimer;
    std::uint64_t mHeld = 0;   // bytes of mBudget this request's body holds
    std::uint64_t mUpload = 0; // what the core answered for this request's header
    beast::flat_buffer mBuffer;
    std::optional<http::request_parser<http::string_body>> mParser;
    std::optional<http::response<http::string_body>> mResponse;
    std::array<char, 16384> mDrain{};
    bool mKeepAlive = true;
    bool mHead = false;
    std::chrono::steady_clock::time_point mPaceFrom; // the body's start, on an emulated link
    std::uint64_t mPaced = 0;                        // bytes of the body read so far
};

class Listener : public std::enable_shared_from_this<Listener> {
public:
    Listener(net::io_context &ioc, std::shared_ptr<SiteCore> core,
             std::shared_ptr<BodyBudget> budget, HostKind host)
        : mIoc(ioc)
        , mAcceptor(net::make_strand(ioc))
        , mRetry(mAcceptor.get_executor())
        , mCore(std::move(core))
        , mBudget(std::move(budget))
        , mHost(host) {}

    bool listen(const tcp::endpoint &endpoint, std::string *error) {
        beast::error_code ec;
        mAcceptor.open(endpoint.protocol(), ec);
        if (!ec)
            mAcceptor.set_option(net::socket_base::reuse_address(true), ec);
        if (!ec)
            mAcceptor.bind(endpoint, ec);
        if (!ec)
            mAcceptor.listen(net::socket_base::max_listen_connections, ec);
        if (ec) {
            *error = "cannot listen on " + endpoint.address().to_string() + " port " +
                     std::to_string(endpoint.port()) + ": " + ec.message();
            return false;
        }
        mPort = mAcceptor.local_endpoint(ec).port();
        return true;
    }

    std::uint16_t port() const { return mPort; }

    void accept() {
        mAcceptor.async_accept(net::make_strand(mIoc),
                               beast::bind_front_handler(&Listener::onAccept, shared_from_this()));
    }

    void stop() {
        net::dispatch(mAcceptor.get_executor(), [self = shared_from_this()] {
            beast::error_code ec;
            self->mRetry.cancel();
            self->mAcceptor.close(ec);
        });
    }

private:
    void onAccept(beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !mAcceptor.is_open())
            return;
        if (ec) {
            // Out of descriptors, say: try again shortly rather than spin.
            mRetry.expires_after(std::chrono::milliseconds(100));
            mRetry.async_wait([self = shared_from_this()](beast::error_code e) {
                if (!e)
                    self->accept();
            });
            return;
        }
        socket.set_option(tcp::no_delay(true), ec);
        std::make_shared<Connection>(std::move(socket), mCore, mBudget, mHost)->start();
        accept();
    }

    net::io_context &mIoc;
    tcp::acceptor mAcceptor;
    net::steady_timer mRetry;
    std::shared_ptr<SiteCore> mCore;
    std::shared_ptr<BodyBudget> mBudget;
    HostKind mHost;
    std::uint16_t mPort = 0;
};

std::string hostText(const net::ip::address &bound, std::uint16_t port) {
    net::ip::address shown = bound;
    if (bound.is_unspecified())
        shown = bound.is_v6() ? net::ip::address(net::ip::address_v6::loopback())
                              : net::ip::address(net::ip::address_v4::loopback());
    if (shown.is_v6())
        return "[" + shown.to_string() + "]:" + std::to_string(port);
    return shown.to_string() + ":" + std::to_string(port);
}

} // namespace

struct Site::Impl {
    net::io_context ioc{kThreads};
    std::shared_ptr<SiteCore> core;
    std::shared_ptr<Listener> siteListener;
    std::shared_ptr<Listener> uploadListener;
    std::vector<std::thread> threads;
    std::string siteHost;
    std::string uploadHost;
};

Site::Site()
    : d(std::make_unique<Impl>()) {}

Site::~Site() {
    if (d->siteListener)
        d->siteListener->stop();
    if (d->uploadListener)
        d->uploadListener->stop();
    d->ioc.stop();
    for (auto &thread : d->threads)
        thread.join();
    d->siteListener.reset();
    d->uploadListener.reset();
}

std::unique_ptr<Site> Site::start(const Options &options, std::string *error) {
    std::string ignored;
    if (!error)
        error = &ignored;
    std::unique_ptr<Site> site(new Site());
    Impl &d = *site->d;

    beast::error_code ec;
    const auto address = net::ip::make_address(options.bind, ec);
    if (ec) {
        *error = "not an IP address: " + options.bind;
        return nullptr;
    }
    d.core = std::make_shared<SiteCore>(options);
    if (!d.core->open(error))
        return nullptr;
    const auto budget = std::make_shared<BodyBudget>(options.maxBuffered);
    d.siteListener = std::make_shared<Listener>(d.ioc, d.core, budget, HostKind::Site);
    d.uploadListener = std::make_shared<Listener>(d.ioc, d.core, budget, HostKind::Upload);
    if (!d.siteListener->listen({address, options.sitePort}, error) ||
        !d.uploadListener->listen({address, options.uploadPort}, error))
        return nullptr;
    d.siteHost = hostText(address, d.siteListener->port());
    d.uploadHost = hostText(address, d.uploadListener->port());
    d.siteListener->accept();
    d.uploadListener->accept();
    for (int i = 0; i < kThreads; ++i)
        d.threads.emplace_back([&ioc = d.ioc] { ioc.run(); });
    return site;
}

std::string Site::siteHost() const {
    return d->siteHost;
}

std::string Site::uploadHost() const {
    return d->uploadHost;
}

Account Site::demoAccount() const {
    return d->core->demoAccount();
}

std::vector<JournalEntry> Site::journal() const {
    return d->core->journal();
}

void Site::clearJournal() {
    d->core->clearJournal();
}

void Site::setFault(Fault fault, bool on) {
    d->core->setFault(fault, on);
}

void Site::setRedirectCookies(std::optional<std::vector<std::string>> names) {
    d->core->setRedirectCookies(std::move(names));
}

void Site::setDelay(Exchange exchange, std::chrono::milliseconds delay) {
    d->core->setDelay(exchange, delay);
}

void Site::clearFaults() {
    d->core->clearFaults();
}

std::vector<StoredPhoto> Site::photos(const std::string &email) const {
    return d->core->photos(email);
}

std::vector<std::string> Site::albums(const std::string &email) const {
    return d->core->albums(email);
}

std::size_t Site::sessionCount() const {
    return d->core->sessionCount();
}

} // namespace nubelo::site
