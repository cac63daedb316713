// Boost.Asio (header-only, from Debian's libboost-dev) under the short names Beast's own
// documentation uses, for the server and the load generator that drives it.
#pragma once

#include <boost/asio.hpp>

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
