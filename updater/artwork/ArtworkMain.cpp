// Draws the updater's pictures at build time and writes them as PNG files
// named after their resource ids (102.png ... 205.png), and the icon also as
// 205.ico for the Windows resources, into the folder given on the command
// line. The program embeds the files; nothing here runs on a
// user's machine.

#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Colour {
    double r, g, b;
};

constexpr Colour kDeep{0.071, 0.227, 0.475};   // #123A79
constexpr Colour kBright{0.118, 0.533, 0.898}; // #1E88E5
constexpr Colour kCyan{0.180, 0.780, 0.850};   // #2EC7D9
constexpr Colour kTrack{0.890, 0.906, 0.933};  // #E3E7EE

void RoundedRect(cairo_t* cr, double x, double y, double w, double h, double r)
{
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -kPi / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, kPi / 2);
    cairo_arc(cr, x + r, y + h - r, r, kPi / 2, kPi);
    cairo_arc(cr, x + r, y + r, r, kPi, 3 * kPi / 2);
    cairo_close_path(cr);
}

// A cloud with an arrow coming down out of it: the update emblem of the
// background and the icon.
void Emblem(cairo_t* cr, double cx, double cy, double size, double alpha)
{
    const double s = size / 100.0;
    cairo_save(cr);
    cairo_translate(cr, cx, cy);
    cairo_scale(cr, s, s);
    cairo_set_source_rgba(cr, 1, 1, 1, alpha);
    cairo_new_path(cr);
    cairo_arc(cr, -22, 2, 20, kPi / 2, 3 * kPi / 2);
    cairo_arc(cr, 2, -12, 28, kPi, 2 * kPi);
    cairo_arc(cr, 28, 4, 18, 3 * kPi / 2, kPi / 2);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_set_source_rgba(cr, kBright.r, kBright.g, kBright.b, 1);
    cairo_set_line_width(cr, 9);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_move_to(cr, 2, -14);
    cairo_line_to(cr, 2, 16);
    cairo_move_to(cr, -12, 3);
    cairo_line_to(cr, 2, 17);
    cairo_line_to(cr, 16, 3);
    cairo_stroke(cr);
    cairo_restore(cr);
}

cairo_surface_t* Background()
{
    const int w = 598;
    const int h = 448;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(surface);
    RoundedRect(cr, 0, 0, w, h, 10);
    cairo_clip(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);

    // Header: a diagonal blue gradient with soft rings, 280 px high.
    cairo_pattern_t* header = cairo_pattern_create_linear(0, 0, w, 280);
    cairo_pattern_add_color_stop_rgb(header, 0, kDeep.r, kDeep.g, kDeep.b);
    cairo_pattern_add_color_stop_rgb(header, 0.65, kBright.r, kBright.g, kBright.b);
    cairo_pattern_add_color_stop_rgb(header, 1, kCyan.r, kCyan.g, kCyan.b);
    cairo_rectangle(cr, 0, 0, w, 280);
    cairo_set_source(cr, header);
    cairo_fill(cr);
    cairo_pattern_destroy(header);
    for (int i = 0; i < 4; ++i) {
        cairo_arc(cr, 520 - i * 10, 40 + i * 6, 90 + i * 55, 0, 2 * kPi);
        cairo_set_source_rgba(cr, 1, 1, 1, 0.06);
        cairo_set_line_width(cr, 18);
        cairo_stroke(cr);
    }
    // A gentle wave where the header meets the white body.
    cairo_move_to(cr, 0, 262);
    cairo_curve_to(cr, 150, 236, 330, 300, w, 250);
    cairo_line_to(cr, w, 281);
    cairo_line_to(cr, 0, 281);
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_fill(cr);

    Emblem(cr, w / 2.0, 140, 150, 0.95);

    // A hairline under the title strip and a thin frame round the window.
    cairo_set_source_rgba(cr, 1, 1, 1, 0.18);
    cairo_rectangle(cr, 0, 38, w, 1);
    cairo_fill(cr);
    RoundedRect(cr, 0.5, 0.5, w - 1, h - 1, 10);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.12);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    cairo_destroy(cr);
    return surface;
}

void Cross(cairo_t* cr, double cx, double cy, double half, double alpha)
{
    cairo_set_source_rgba(cr, 1, 1, 1, alpha);
    cairo_set_line_width(cr, 1.6);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_move_to(cr, cx - half, cy - half);
    cairo_line_to(cr, cx + half, cy + half);
    cairo_move_to(cr, cx + half, cy - half);
    cairo_line_to(cr, cx - half, cy + half);
    cairo_stroke(cr);
}

cairo_surface_t* CloseButton(bool hover)
{
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 25, 23);
    cairo_t* cr = cairo_create(surface);
    if (hover) {
        // Red, with the window's rounded top-right corner.
        cairo_new_sub_path(cr);
        cairo_move_to(cr, 0, 0);
        cairo_arc(cr, 15, 10, 10, -kPi / 2, 0);
        cairo_line_to(cr, 25, 23);
        cairo_line_to(cr, 0, 23);
        cairo_close_path(cr);
        cairo_set_source_rgb(cr, 0.910, 0.067, 0.137);  // #E81123
        cairo_fill(cr);
    }
    Cross(cr, 12.5, 11.5, 4.5, hover ? 1.0 : 0.85);
    cairo_destroy(cr);
    return surface;
}

cairo_surface_t* ProgressStrip()
{
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 100, 8);
    cairo_t* cr = cairo_create(surface);
    cairo_rectangle(cr, 0, 0, 100, 4);
    cairo_set_source_rgb(cr, kTrack.r, kTrack.g, kTrack.b);
    cairo_fill(cr);
    cairo_rectangle(cr, 0, 4, 100, 4);
    cairo_set_source_rgb(cr, kBright.r, kBright.g, kBright.b);
    cairo_fill(cr);
    cairo_destroy(cr);
    return surface;
}

cairo_surface_t* Icon()
{
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 256, 256);
    cairo_t* cr = cairo_create(surface);
    RoundedRect(cr, 8, 8, 240, 240, 54);
    cairo_pattern_t* fill = cairo_pattern_create_linear(8, 8, 248, 248);
    cairo_pattern_add_color_stop_rgb(fill, 0, kDeep.r, kDeep.g, kDeep.b);
    cairo_pattern_add_color_stop_rgb(fill, 0.7, kBright.r, kBright.g, kBright.b);
    cairo_pattern_add_color_stop_rgb(fill, 1, kCyan.r, kCyan.g, kCyan.b);
    cairo_set_source(cr, fill);
    cairo_fill(cr);
    cairo_pattern_destroy(fill);
    Emblem(cr, 128, 132, 210, 1.0);
    cairo_destroy(cr);
    return surface;
}

bool Write(cairo_surface_t* surface, const std::string& folder, const char* name)
{
    const std::string path = folder + "/" + name;
    const bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    if (!ok) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
    }
    return ok;
}

// The program icon as Windows wants it: an icon file whose one 256 x 256
// image is the PNG itself, as icon files have allowed since Windows Vista.
bool WriteIcon(const std::string& folder)
{
    std::FILE* in = std::fopen((folder + "/205.png").c_str(), "rb");
    if (in == nullptr)
        return false;
    std::string png;
    char chunk[8192];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
        png.append(chunk, n);
    std::fclose(in);
    const auto le16 = [](std::string& out, unsigned v) {
        out += static_cast<char>(v & 0xFF);
        out += static_cast<char>((v >> 8) & 0xFF);
    };
    const auto le32 = [&](std::string& out, unsigned long v) {
        le16(out, static_cast<unsigned>(v & 0xFFFF));
        le16(out, static_cast<unsigned>(v >> 16));
    };
    std::string icon;
    le16(icon, 0);  // reserved
    le16(icon, 1);  // an icon, not a cursor
    le16(icon, 1);  // one image
    icon += '\0';  // width 256
    icon += '\0';  // height 256
    icon += '\0';  // no palette
    icon += '\0';  // reserved
    le16(icon, 1);  // colour planes
    le16(icon, 32); // bits per pixel
    le32(icon, static_cast<unsigned long>(png.size()));
    le32(icon, 6 + 16);  // the image follows the one directory entry
    icon += png;
    const std::string path = folder + "/205.ico";
    std::FILE* out = std::fopen(path.c_str(), "wb");
    const bool ok = out != nullptr && std::fwrite(icon.data(), 1, icon.size(), out) == icon.size();
    if (out != nullptr && std::fclose(out) != 0)
        return false;
    if (!ok)
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const bool ok = Write(Background(), folder, "102.png") && Write(CloseButton(false), folder, "103.png") &&
                    Write(CloseButton(true), folder, "104.png") && Write(ProgressStrip(), folder, "105.png") &&
                    Write(Icon(), folder, "205.png") && WriteIcon(folder);
    return ok ? 0 : 1;
}
