// Builds without TLS never load a context, so the listener never starts an HTTPS session.
#include "http_session.h"

namespace qeld {

void StartHttpsSession(boost::asio::ip::tcp::socket, SharedState&) {}

}  // namespace qeld
