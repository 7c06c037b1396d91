#include "net/SocketInternals.h"

namespace wsocket_detail {

std::atomic<int> g_liveSockets{0};

QString ExceptionText(const std::exception& e)
{
    if (auto* x = dynamic_cast<const Exception*>(&e))
        return x->Message();
    return QString::fromUtf8(e.what());
}

[[noreturn]] void Throw(const QString& text)
{
    throw ESocketException(text);
}

}  // namespace wsocket_detail
