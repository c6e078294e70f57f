// Running a piece of work on the interface thread from any thread, and waiting for it.
#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <type_traits>

namespace brannock {

/// Runs `work` on the thread of `context` and returns its result. Called from another thread
/// it waits until the interface thread has run it (a blocking queued call), so the
/// interface thread itself must never wait for the caller.
template <typename Work>
auto OnUiThread(QObject* context, Work&& work) -> decltype(work()) {
  if (QThread::currentThread() == context->thread()) return work();
  using Result = decltype(work());
  if constexpr (std::is_void_v<Result>) {
    QMetaObject::invokeMethod(context, std::forward<Work>(work), Qt::BlockingQueuedConnection);
  } else {
    Result result{};
    QMetaObject::invokeMethod(
        context, [&] { result = work(); }, Qt::BlockingQueuedConnection);
    return result;
  }
}

}  // namespace brannock
