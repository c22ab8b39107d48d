#pragma once
// LockedContext: an io_context with a mutex, and an executor on it that runs
// every function it is given with that mutex held. The transport's strand
// sits on such an executor: whatever runs on the strand then also holds the
// mutex, so another thread that takes the mutex may act as if it were on the
// strand for a moment (send a command without waking the I/O thread first).
// Properties (blocking, outstanding work, allocator) pass through to the
// io_context's own executor. The executor is no larger than that one, so a
// strand on it still fits in an any_io_executor without an allocation.

#include <mutex>
#include <type_traits>
#include <utility>

#include <boost/asio/execution.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/require.hpp>

namespace Wirelink {

class LockedContext : public boost::asio::io_context {
public:
    std::recursive_mutex& Mutex() { return m_mutex; }

    template <class Inner>
    class Executor {
    public:
        explicit Executor(Inner inner) noexcept : m_inner(std::move(inner)) {}

        template <class Function>
        void execute(Function&& f) const
        {
            std::recursive_mutex* mutex = &Context().Mutex();
            boost::asio::execution::execute(
                m_inner, [mutex, f = std::decay_t<Function>(std::forward<Function>(f))]() mutable {
                    std::lock_guard<std::recursive_mutex> lock(*mutex);
                    std::move(f)();
                });
        }

        template <class Property>
        auto query(const Property& p) const -> decltype(boost::asio::query(std::declval<const Inner&>(), p))
        {
            return boost::asio::query(m_inner, p);
        }

        template <class Property>
        auto require(const Property& p) const
            -> Executor<std::decay_t<decltype(boost::asio::require(std::declval<const Inner&>(), p))>>
        {
            return Executor<std::decay_t<decltype(boost::asio::require(m_inner, p))>>(
                boost::asio::require(m_inner, p));
        }

        template <class Property>
        auto prefer(const Property& p) const
            -> Executor<std::decay_t<decltype(boost::asio::prefer(std::declval<const Inner&>(), p))>>
        {
            return Executor<std::decay_t<decltype(boost::asio::prefer(m_inner, p))>>(boost::asio::prefer(m_inner, p));
        }

        friend bool operator==(const Executor& a, const Executor& b) noexcept { return a.m_inner == b.m_inner; }
        friend bool operator!=(const Executor& a, const Executor& b) noexcept { return !(a == b); }

    private:
        LockedContext& Context() const
        {
            return static_cast<LockedContext&>(boost::asio::query(m_inner, boost::asio::execution::context));
        }

        Inner m_inner;
    };

    Executor<executor_type> LockedExecutor() { return Executor<executor_type>(get_executor()); }

private:
    std::recursive_mutex m_mutex;
};

}  // namespace Wirelink
