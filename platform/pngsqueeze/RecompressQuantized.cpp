#include "Recompress.h"

#include "PngWriter.h"
#include "Quantizer.h"
#include "pelbo/compat/AtomicFile.h"

namespace Png {

bool Recompress(const char*, ImageCodec::CImage& source, const QualityRange& quality, const char* dst)
{
    PaletteImage reduced;
    if (Quantize(source.Pixels(), source.Width(), source.Height(), quality, reduced) != QuantizeOutcome::Done)
        return false;
    source.Clear();
    Compat::CAtomicFile out(dst);
    FILE* file = out.Open();
    return file != nullptr && WritePalettePng(file, reduced) && out.Commit();
}

}  // namespace Png
