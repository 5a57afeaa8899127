// The PNG writer's deflate blocks, against zlib's inflater: any bytes, cut into two joined
// pieces, with runs from any length or without, come back exactly.
#include "deflateblocks.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t shortestRun = data[0] % 12; // 0: literals; 1 to 3: from 3
    const std::size_t split = std::min<std::size_t>(data[1] * 64, size - 2);
    data += 2;
    size -= 2;
    std::vector<unsigned char> out(deflateblocks::bound(split) + deflateblocks::bound(size - split));
    deflateblocks::Writer first(out.data(), deflateblocks::bound(split));
    if (!first.add(data, split, shortestRun) || !first.finish(false))
        std::abort();
    deflateblocks::Writer second(out.data() + first.size(), out.size() - first.size());
    if (!second.add(data + split, size - split, shortestRun) || !second.finish(true))
        std::abort();

    std::vector<unsigned char> back(size + 1);
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK)
        return 0;
    stream.next_in = out.data();
    stream.avail_in = uInt(first.size() + second.size());
    stream.next_out = back.data();
    stream.avail_out = uInt(back.size());
    const int status = inflate(&stream, Z_FINISH);
    const std::size_t made = stream.total_out;
    inflateEnd(&stream);
    if (status != Z_STREAM_END || made != size || (size && std::memcmp(back.data(), data, size) != 0))
        std::abort();
    return 0;
}
