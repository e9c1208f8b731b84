#include "TThread.h"

#include "UiThread.h"

#include <exception>
#include <thread>

namespace orv {

void TThread::Start() { std::thread(&TThread::Body, this).detach(); }

void TThread::Synchronize(const std::function<void()>& fn) { RunOnUiThread(fn); }

void TThread::Body(TThread* self)
{
    try {
        self->Run();
    } catch (const std::exception&) {
        // An exception ends the thread body like a return does; the end
        // handler still runs so the window gets its menus back.
    } catch (...) {
    }
    if (self->OnTerminate) {
        auto handler = self->OnTerminate;
        RunOnUiThread([&] { handler(self); });
    }
    if (self->freeOnTerminate_)
        delete self;
}

}  // namespace orv
