// A read of a stream socket that tells the reactor when the socket is empty.
//
// Asio's own read first tries the socket whenever no read is queued on it,
// and counts a socket as emptied only at the end of the stream; so every
// read that follows a successful one costs a recv that fails with EAGAIN.
// This read counts a short read (fewer bytes than the buffer holds) as
// emptying the socket too: the next read then waits for the reactor's word
// that data came, without trying first. The reactor is edge-triggered, so
// data arriving after the short read still wakes the queued read.
//
// It reaches into Asio's epoll reactor through an internal interface, as
// Boost 1.81 has it (later versions give the reactor's `start_op` more
// arguments). With another version of Boost, or where that reactor is not
// the one in use, it is Asio's own read.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/error_code.hpp>
#include <boost/version.hpp>

#if BOOST_VERSION / 100 == 1081 && defined(BOOST_ASIO_HAS_EPOLL) && !defined(BOOST_ASIO_HAS_IO_URING_AS_DEFAULT)
#define QUERN_DRAINED_READ 1
#include <boost/asio/detail/bind_handler.hpp>
#include <boost/asio/detail/fenced_block.hpp>
#include <boost/asio/detail/handler_alloc_helpers.hpp>
#include <boost/asio/detail/handler_cont_helpers.hpp>
#include <boost/asio/detail/handler_work.hpp>
#include <boost/asio/detail/reactor.hpp>
#include <boost/asio/detail/reactor_op.hpp>
#include <boost/asio/detail/socket_ops.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/query.hpp>
#endif

namespace quern_session::drained_read {

namespace asio = boost::asio;
using Socket = asio::local::stream_protocol::socket;

// Whether this build's read is the drained one rather than Asio's own.
#if defined(QUERN_DRAINED_READ)
inline constexpr bool DRAINED = true;
#else
inline constexpr bool DRAINED = false;
#endif

#if defined(QUERN_DRAINED_READ)

namespace detail {

namespace ad = boost::asio::detail;

// The socket's reactor state, which Asio keeps to its socket classes.
struct Access : Socket {
  static auto& impl(Socket& s) {
    constexpr auto member = &Access::impl_;
    return (s.*member).get_implementation();
  }
};

template <class Handler, class IoExecutor>
class Op : public ad::reactor_op {
 public:
  BOOST_ASIO_DEFINE_HANDLER_PTR(Op);

  Op(int fd, asio::mutable_buffer buffer, Handler& handler, const IoExecutor& io_ex)
      : ad::reactor_op(boost::system::error_code(), &Op::do_perform, &Op::do_complete),
        fd_(fd),
        buffer_(buffer),
        handler_(std::move(handler)),
        work_(handler_, io_ex) {}

  static status do_perform(ad::reactor_op* base) {
    auto* o = static_cast<Op*>(base);
    if (!ad::socket_ops::non_blocking_recv1(o->fd_, o->buffer_.data(), o->buffer_.size(), 0, true, o->ec_,
                                             o->bytes_transferred_))
      return not_done;
    // A stream gives everything it holds, up to the buffer's size: room left
    // over means nothing is left to read.
    if (o->ec_ || o->bytes_transferred_ < o->buffer_.size()) return done_and_exhausted;
    return done;
  }

  static void do_complete(void* owner, ad::operation* base, const boost::system::error_code&, std::size_t) {
    auto* o = static_cast<Op*>(base);
    ptr p = {std::addressof(o->handler_), o, o};
    ad::handler_work<Handler, IoExecutor> w(std::move(o->work_));
    // The handler is moved out before the memory goes, as it may own it.
    ad::binder2<Handler, boost::system::error_code, std::size_t> handler(o->handler_, o->ec_,
                                                                          o->bytes_transferred_);
    p.h = std::addressof(handler.handler_);
    p.reset();
    if (owner) {
      ad::fenced_block b(ad::fenced_block::half);
      w.complete(handler, handler.handler_);
    }
  }

 private:
  int fd_;
  asio::mutable_buffer buffer_;
  Handler handler_;
  ad::handler_work<Handler, IoExecutor> work_;
};

// Cancels the queued read it was installed for.
class Cancel {
 public:
  Cancel(ad::reactor* reactor, ad::reactor::per_descriptor_data* data, int fd)
      : reactor_(reactor), data_(data), fd_(fd) {}
  void operator()(asio::cancellation_type_t type) {
    constexpr auto any = asio::cancellation_type::terminal | asio::cancellation_type::partial |
                         asio::cancellation_type::total;
    if ((type & any) != asio::cancellation_type::none)
      reactor_->cancel_ops_by_key(fd_, *data_, ad::reactor::read_op, this);
  }

 private:
  ad::reactor* reactor_;
  ad::reactor::per_descriptor_data* data_;
  int fd_;
};

struct Initiate {
  Socket* socket;

  template <class Handler>
  void operator()(Handler&& handler, asio::mutable_buffer buffer) const {
    using H = std::decay_t<Handler>;
    using IoExecutor = Socket::executor_type;
    using O = Op<H, IoExecutor>;
    H h(std::forward<Handler>(handler));
    auto& impl = Access::impl(*socket);
    const IoExecutor io_ex = socket->get_executor();
    auto& reactor = asio::use_service<ad::reactor>(asio::query(io_ex, asio::execution::context));
    const bool is_continuation = boost_asio_handler_cont_helpers::is_continuation(h);
    auto slot = asio::get_associated_cancellation_slot(h);

    typename O::ptr p = {std::addressof(h), O::ptr::allocate(h), nullptr};
    p.p = new (p.v) O(impl.socket_, buffer, h, io_ex);
    if (slot.is_connected())
      p.p->cancellation_key_ = &slot.template emplace<Cancel>(&reactor, &impl.reactor_data_, impl.socket_);

    // An empty buffer reads nothing and completes at once, as Asio's read does.
    if (buffer.size() == 0 || !((impl.state_ & ad::socket_ops::non_blocking) ||
                                ad::socket_ops::set_internal_non_blocking(impl.socket_, impl.state_, true,
                                                                          p.p->ec_))) {
      reactor.post_immediate_completion(p.p, is_continuation);
    } else {
      reactor.start_op(ad::reactor::read_op, impl.socket_, impl.reactor_data_, p.p, is_continuation, true);
    }
    p.v = p.p = nullptr;
  }
};

}  // namespace detail

// Reads what the socket holds into `buffer`, at least one byte, as
// `async_read_some` does.
template <class Token>
auto async_read_some(Socket& socket, asio::mutable_buffer buffer, Token&& token) {
  return asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(detail::Initiate{&socket},
                                                                                   token, buffer);
}

#else

template <class Token>
auto async_read_some(Socket& socket, asio::mutable_buffer buffer, Token&& token) {
  return socket.async_read_some(buffer, std::forward<Token>(token));
}

#endif

}  // namespace quern_session::drained_read
