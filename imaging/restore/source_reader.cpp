#include "restore/source_reader.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

void SourceReader::Run() {
    Failure failure;
    for (bool ended = false; !ended && !failure;) {
        if (m_run.Cancelled()) {
            failure = {FailureReason::Cancelled, 0, {}};
            break;
        }
        DriveBuffer* buffer = m_ring.NextEmpty(BufferRing::Waiting::Yes);
        if (buffer == nullptr) {
            break;
        }
        buffer->offset = m_bytes;
        failure = ReadFull(m_source, buffer->bytes.get(), buffer->capacity, buffer->length);
        ended = buffer->length < buffer->capacity;
        if (!failure && m_check != nullptr) {
            failure = m_check->Update(buffer->offset, buffer->bytes.get(), buffer->length);
        }
        if (buffer->length == 0 || failure) {
            m_ring.GiveBack(buffer);
            continue;
        }
        m_digest.Update(buffer->bytes.get(), buffer->length);
        if (m_also) {
            m_also->Update(buffer->bytes.get(), buffer->length);
        }
        m_bytes += buffer->length;
        m_ring.HandOver(buffer);
    }
    m_ring.Finish(std::move(failure));
}

}  // namespace imaging
