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
        : m_limit(limit) {}

    // One body always fits when nothing else is held, so no limit shuts out every upload.
    bool take(std::uint64_t bytes) {
        std::lock_guard lock(m_mutex);
        if (m_held > 0 && (bytes > m_limit || m_held > m_limit - bytes))
            return false;
        m_held += bytes;
        return true;
    }
    void give(std::uint64_t bytes) {
        std::lock_guard lock(m_mutex);
        m_held -= bytes;
    }

private:
    std::mutex m_mutex;
    const std::uint64_t m_limit;
    std::uint64_t m_held = 0;
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket &&socket, std::shared_ptr<SiteCore> core,
               std::shared_ptr<BodyBudget> budget, HostKind host)
        : m_stream(std::move(socket))
        , m_core(std::move(core))
        , m_budget(std::move(budget))
        , m_host(host)
        , m_timer(m_stream.get_executor()) {}
    ~Connection() { releaseBody(); }

    void start() {
        net::dispatch(m_stream.get_executor(), [self = shared_from_this()] { self->readHeader(); });
    }

private:
    std::uint64_t bodyLimit() const {
        return m_host == HostKind::Upload ? m_core->maxUpload() : m_core->maxSiteBody();
    }

    void releaseBody() {
        m_budget->give(m_held);
        m_held = 0;
    }

    void readHeader() {
        m_parser.emplace();
        m_parser->header_limit(kHeaderLimit);
        m_parser->body_limit(bodyLimit());
        m_upload = 0;
        m_head = false;
        m_stream.expires_after(kIdleTimeout);
        http::async_read_header(
            m_stream, m_buffer, *m_parser,
            beast::bind_front_handler(&Connection::onHeader, shared_from_this()));
    }

    void onHeader(beast::error_code ec, std::size_t) {
        if (ec)
            return onReadError(ec);
        m_upload = m_core->uploadBegins(requestView());
        // The string body reserves an announced length at once; a chunked one grows up to the
        // limit.
        const std::uint64_t body =
            m_parser->chunked() ? bodyLimit() : m_parser->content_length().value_or(0);
        if (body > 0 && !m_budget->take(body))
            return answer(m_core->refuse(requestView(), 503,
                                         "the site holds too many request bodies at once; "
                                         "try again later"),
                          false);
        m_held = body;
        m_stream.expires_after(kBodyTimeout);
        const auto expect = m_parser->get()[http::field::expect];
        if (beast::iequals(expect, "100-continue") && !m_parser->is_done()) {
            static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            net::async_write(m_stream, net::buffer(kContinue.data(), kContinue.size()),
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
        http::async_read(m_stream, m_buffer, *m_parser,
                         beast::bind_front_handler(&Connection::onRequest, shared_from_this()));
    }

    HttpRequest requestView() const {
        const auto &message = m_parser->get();
        HttpRequest request;
        request.host = m_host;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        for (const auto &field : message)
            request.fields.emplace_back(std::string(field.name_string()),
                                        std::string(field.value()));
        request.body = message.body();
        request.upload = m_upload;
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
        partial.host = m_host;
        if (m_parser) {
            // What arrived of the request line and fields, for the journal.
            partial = requestView();
            partial.body = {};
        }
        answer(m_core->refuse(partial, status, reason), false);
    }

    void onRequest(beast::error_code ec, std::size_t) {
        if (ec)
            return onReadError(ec);
        m_keepAlive = m_parser->get().keep_alive();
        m_head = m_parser->get().method() == http::verb::head;
        const HttpRequest request = requestView();
        HttpReply reply = m_core->handle(request);
        // The request body is no longer needed; a 64 MiB upload should not wait for the reply.
        m_parser->get().body() = std::string();
        releaseBody();
        if (reply.delay.count() > 0) {
            m_timer.expires_after(reply.delay);
            m_timer.async_wait(
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
        answer(std::move(reply), m_keepAlive && !reply.close);
    }

    void answer(HttpReply &&reply, bool keepAlive) {
        m_response.emplace();
        auto &res = *m_response;
        res.version(11);
        res.result(static_cast<unsigned>(reply.status));
        res.set(http::field::server, "nubelo-site");
        for (auto &[name, value] : reply.fields)
            res.insert(name, value);
        res.keep_alive(keepAlive);
        const auto size = reply.body.size();
        if (!m_head)
            res.body() = std::move(reply.body);
        res.prepare_payload();
        if (m_head)
            res.content_length(size);
        m_stream.expires_after(kWriteTimeout);
        http::async_write(m_stream, res,
                          [self = shared_from_this(), keepAlive](beast::error_code e, std::size_t) {
                              self->m_response.reset();
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
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ec);
        m_stream.expires_after(kDrainTimeout);
        drain();
    }

    void drain() {
        m_stream.async_read_some(net::buffer(m_drain),
                                 [self = shared_from_this()](beast::error_code e, std::size_t) {
                                     if (e)
                                         return self->closeNow();
                                     self->drain();
                                 });
    }

    void closeNow() {
        beast::error_code ec;
        m_timer.cancel();
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ec);
        m_stream.close();
    }

    void resetNow() {
        beast::error_code ec;
        m_timer.cancel();
        m_stream.socket().set_option(net::socket_base::linger(true, 0), ec);
        m_stream.close();
    }

    beast::tcp_stream m_stream;
    std::shared_ptr<SiteCore> m_core;
    std::shared_ptr<BodyBudget> m_budget;
    HostKind m_host;
    net::steady_timer m_timer;
    std::uint64_t m_held = 0;   // bytes of m_budget this request's body holds
    std::uint64_t m_upload = 0; // what the core answered for this request's header
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    std::optional<http::response<http::string_body>> m_response;
    std::array<char, 16384> m_drain{};
    bool m_keepAlive = true;
    bool m_head = false;
};

class Listener : public std::enable_shared_from_this<Listener> {
public:
    Listener(net::io_context &ioc, std::shared_ptr<SiteCore> core,
             std::shared_ptr<BodyBudget> budget, HostKind host)
        : m_ioc(ioc)
        , m_acceptor(net::make_strand(ioc))
        , m_retry(m_acceptor.get_executor())
        , m_core(std::move(core))
        , m_budget(std::move(budget))
        , m_host(host) {}

    bool listen(const tcp::endpoint &endpoint, std::string *error) {
        beast::error_code ec;
        m_acceptor.open(endpoint.protocol(), ec);
        if (!ec)
            m_acceptor.set_option(net::socket_base::reuse_address(true), ec);
        if (!ec)
            m_acceptor.bind(endpoint, ec);
        if (!ec)
            m_acceptor.listen(net::socket_base::max_listen_connections, ec);
        if (ec) {
            *error = "cannot listen on " + endpoint.address().to_string() + " port " +
                     std::to_string(endpoint.port()) + ": " + ec.message();
            return false;
        }
        m_port = m_acceptor.local_endpoint(ec).port();
        return true;
    }

    std::uint16_t port() const { return m_port; }

    void accept() {
        m_acceptor.async_accept(net::make_strand(m_ioc),
                                beast::bind_front_handler(&Listener::onAccept, shared_from_this()));
    }

    void stop() {
        net::dispatch(m_acceptor.get_executor(), [self = shared_from_this()] {
            beast::error_code ec;
            self->m_retry.cancel();
            self->m_acceptor.close(ec);
        });
    }

private:
    void onAccept(beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !m_acceptor.is_open())
            return;
        if (ec) {
            // Out of descriptors, say: try again shortly rather than spin.
            m_retry.expires_after(std::chrono::milliseconds(100));
            m_retry.async_wait([self = shared_from_this()](beast::error_code e) {
                if (!e)
                    self->accept();
            });
            return;
        }
        socket.set_option(tcp::no_delay(true), ec);
        std::make_shared<Connection>(std::move(socket), m_core, m_budget, m_host)->start();
        accept();
    }

    net::io_context &m_ioc;
    tcp::acceptor m_acceptor;
    net::steady_timer m_retry;
    std::shared_ptr<SiteCore> m_core;
    std::shared_ptr<BodyBudget> m_budget;
    HostKind m_host;
    std::uint16_t m_port = 0;
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
