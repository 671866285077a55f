#include "model_writer.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace mevo_test {

namespace {

void put_u32(std::string &out, uint32_t v) {
    const char b[4] = {static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
                       static_cast<char>((v >> 16) & 0xff), static_cast<char>((v >> 24) & 0xff)};
    out.append(b, 4);
}

void put_i32(std::string &out, int32_t v) {
    put_u32(out, static_cast<uint32_t>(v));
}

}  // namespace

ModelFeature feature_for_code(int32_t x, int32_t y, uint8_t code, int32_t score) {
    return feature_near_code(x, y, code, 0, score);
}

ModelFeature feature_near_code(int32_t x, int32_t y, uint8_t code, int max_hamming, int32_t score) {
    ModelFeature f;
    f.x = x;
    f.y = y;
    for (int k = 0; k < kModelTableSize; ++k) {
        const int differing = std::popcount(static_cast<unsigned>(k ^ code));
        f.table[k] = differing <= max_hamming ? score : 0;
    }
    return f;
}

ModelFeature feature_constant(int32_t x, int32_t y, int32_t score) {
    ModelFeature f;
    f.x = x;
    f.y = y;
    f.table.fill(score);
    return f;
}

ModelStage stage_requiring(int32_t type, std::vector<ModelFeature> features, int32_t min_hits) {
    ModelStage s;
    s.type = type;
    s.threshold = min_hits - 1;
    s.features = std::move(features);
    return s;
}

RawModel model_to_raw(const ModelDesc &desc) {
    RawModel raw;
    raw.n_char = static_cast<int32_t>(desc.obj_class.size());
    raw.obj_class = desc.obj_class;
    raw.n_casc = static_cast<int32_t>(desc.stages.size());
    raw.width = desc.width;
    raw.height = desc.height;
    int32_t next = 0;
    for (const ModelStage &s : desc.stages) {
        raw.start_ind.push_back(next);
        raw.n_det_feat.push_back(static_cast<int32_t>(s.features.size()));
        raw.th.push_back(s.threshold);
        raw.type.push_back(s.type);
        raw.features.insert(raw.features.end(), s.features.begin(), s.features.end());
        next += static_cast<int32_t>(s.features.size());
    }
    return raw;
}

std::string model_bytes(const RawModel &raw) {
    std::string out;
    put_u32(out, raw.magic);
    put_i32(out, raw.n_char);
    if (raw.n_char > 0) {
        std::string name = raw.obj_class;
        name.resize(static_cast<size_t>(raw.n_char), '\0');
        out += name;
    }
    put_i32(out, raw.n_casc);
    put_i32(out, raw.width);
    put_i32(out, raw.height);
    for (const std::vector<int32_t> *words : {&raw.start_ind, &raw.n_det_feat, &raw.th, &raw.type})
        for (int32_t v : *words) put_i32(out, v);
    for (const ModelFeature &f : raw.features) {
        for (int32_t v : f.table) put_i32(out, v);
        put_i32(out, f.x);
        put_i32(out, f.y);
        put_i32(out, f.stored_offset);
    }
    return out;
}

std::string model_bytes(const ModelDesc &desc) {
    return model_bytes(model_to_raw(desc));
}

int model_write(const std::string &path, const RawModel &raw) {
    const std::string bytes = model_bytes(raw);
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return -1;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return (std::fclose(f) == 0 && ok) ? 0 : -1;
}

int model_write(const std::string &path, const ModelDesc &desc) {
    return model_write(path, model_to_raw(desc));
}

uint8_t reference_lbp_code(const uint8_t *p, int stride) {
    const uint8_t c = p[0];
    const struct {
        int dx, dy, bit;
    } neighbours[8] = {{-1, -1, 128}, {0, -1, 64}, {1, -1, 32}, {-1, 0, 16},
                       {1, 0, 8},     {-1, 1, 4},  {0, 1, 2},   {1, 1, 1}};
    int code = 0;
    for (const auto &n : neighbours) {
        if (p[n.dy * stride + n.dx] > c) code |= n.bit;
    }
    return static_cast<uint8_t>(code);
}

namespace {

int required_hits(double share, size_t n) {
    const int hits = static_cast<int>(std::ceil(share * static_cast<double>(n) - 1e-9));
    return hits < 0 ? 0 : hits;
}

}  // namespace

ModelDesc cascade_for_samples(const std::vector<PatternSample> &samples, int width, int height,
                              const PatternCascadeOptions &opts) {
    ModelDesc desc;
    desc.obj_class = opts.obj_class;
    desc.width = width;
    desc.height = height;
    const int n_exact = opts.stages > 0 ? opts.stages : 1;
    const int step = opts.step > 0 ? opts.step : 1;
    std::vector<ModelFeature> texture;
    std::vector<std::vector<ModelFeature>> exact(static_cast<size_t>(n_exact));
    int dealt = 0;
    for (int y = 1; y <= height - 2; y += step) {
        for (int x = 1; x <= width - 2; x += step) {
            ModelFeature textured = feature_constant(x, y, 1);
            textured.table[0] = 0;
            texture.push_back(textured);
            ModelFeature f;
            f.x = x;
            f.y = y;
            for (const PatternSample &s : samples) {
                const uint8_t code = reference_lbp_code(s.grey + y * s.stride + x, s.stride);
                const ModelFeature near = feature_near_code(x, y, code, opts.max_hamming);
                for (int k = 0; k < kModelTableSize; ++k) f.table[k] |= near.table[k];
            }
            exact[static_cast<size_t>(dealt % n_exact)].push_back(f);
            ++dealt;
        }
    }
    for (int s = 0; s < opts.texture_stages; ++s)
        desc.stages.push_back(
            stage_requiring(0, texture, required_hits(opts.texture_min_match, texture.size())));
    for (std::vector<ModelFeature> &features : exact) {
        const int hits = required_hits(opts.min_match, features.size());
        desc.stages.push_back(stage_requiring(0, std::move(features), hits));
    }
    return desc;
}

ModelDesc cascade_for_pattern(const uint8_t *grey, int stride, int width, int height,
                              const PatternCascadeOptions &opts) {
    return cascade_for_samples({PatternSample{grey, stride}}, width, height, opts);
}

}  // namespace mevo_test
