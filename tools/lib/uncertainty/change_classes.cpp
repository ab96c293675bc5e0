#include "change_classes.h"

#include <ogr_api.h>

#include <algorithm>
#include <cmath>

namespace {

bool fail(std::string *error, const std::string &path, const std::string &what)
{
    *error = path + ": " + what;
    return false;
}

// The index of a class label, added when new.
bool index_of(ClassSource *s, const nlohmann::json &label, std::map<std::string, int> *known, int *index,
              std::string *error)
{
    const std::string key = label.dump();
    auto found = known->find(key);
    if (found != known->end()) {
        *index = found->second;
        return true;
    }
    if (static_cast<int>(s->labels.size()) > MAX_CLASSES)
        return fail(error, s->path, "more than " + std::to_string(MAX_CLASSES) + " classes");
    *index = static_cast<int>(s->labels.size());
    s->labels.push_back(label);
    (*known)[key] = *index;
    return true;
}

// The class of a feature: its attribute (a number or a text), its id
// without a field, null without the attribute.
nlohmann::json feature_label(OGRFeatureH feature, int field_index, bool by_id)
{
    if (by_id)
        return static_cast<long long>(OGR_F_GetFID(feature));
    if (field_index < 0 || !OGR_F_IsFieldSetAndNotNull(feature, field_index))
        return nullptr;
    OGRFieldDefnH defn = OGR_F_GetFieldDefnRef(feature, field_index);
    switch (OGR_Fld_GetType(defn)) {
    case OFTInteger:
    case OFTInteger64:
        return static_cast<long long>(OGR_F_GetFieldAsInteger64(feature, field_index));
    case OFTReal:
        return OGR_F_GetFieldAsDouble(feature, field_index);
    default:
        return std::string(OGR_F_GetFieldAsString(feature, field_index));
    }
}

bool less_label(const nlohmann::json &a, const nlohmann::json &b)
{
    if (a.is_number() != b.is_number())
        return a.is_number();
    if (a.is_number())
        return a.get<double>() < b.get<double>();
    return a.get<std::string>() < b.get<std::string>();
}

} // namespace

bool open_classes(const std::string &path, const std::string &field, const GridFacts &grid,
                  const std::string &scratch, ClassSource *s, std::string *error)
{
    s->path = path;
    s->field = field;
    s->labels.assign(1, nullptr);
    s->nb_col = grid.nb_col;
    s->nb_lig = grid.nb_lig;
    // Features burn their class index: by their attribute, by their id
    // without a field.
    std::map<std::string, int> known;
    int field_index = -1;
    bool field_found = field.empty();
    FeatureBurn burn;
    burn.begin_layer = [&](OGRLayerH layer, std::string *) {
        field_index = field.empty() ? -1 : OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(layer), field.c_str());
        field_found = field_found || field_index >= 0;
        return true;
    };
    burn.value = [&](OGRFeatureH feature, double *value, std::string *why) {
        const nlohmann::json label = feature_label(feature, field_index, field.empty());
        int index = 0;
        if (!label.is_null() && !index_of(s, label, &known, &index, why))
            return false;
        *value = index;
        return true;
    };
    // A raster of classes takes no field.
    if (!open_grid_layer(path, grid, "BEFORE", field.empty(), burn, scratch, &s->layer, error))
        return false;
    if (!field_found) {
        close_classes(s);
        return fail(error, path, "no layer has a field named " + field);
    }
    return true;
}

bool read_class_lines(ClassSource *s, int first, int count, int *classes, std::string *error)
{
    const size_t n = static_cast<size_t>(count) * static_cast<size_t>(s->nb_col);
    s->values.resize(n);
    if (!read_layer_lines(&s->layer, first, count, s->values.data(), error))
        return false;
    for (size_t k = 0; k < n; k++) {
        const double v = s->values[k];
        if (s->layer.from_vector) {
            classes[k] = static_cast<int>(v);
            continue;
        }
        if (std::isnan(v)) {
            classes[k] = 0;
            continue;
        }
        auto found = s->raster_index.find(v);
        if (found != s->raster_index.end()) {
            classes[k] = found->second;
            continue;
        }
        if (v != std::floor(v) || std::fabs(v) > 9007199254740992.0)
            return fail(error, s->path,
                        "the class at line " + std::to_string(first + k / s->nb_col) + ", column " +
                            std::to_string(k % s->nb_col) + " is not an integer");
        if (static_cast<int>(s->labels.size()) > MAX_CLASSES)
            return fail(error, s->path, "more than " + std::to_string(MAX_CLASSES) + " classes");
        const int index = static_cast<int>(s->labels.size());
        s->labels.push_back(static_cast<long long>(v));
        s->raster_index[v] = index;
        classes[k] = index;
    }
    return true;
}

std::vector<int> class_order(const ClassSource &s)
{
    std::vector<int> order;
    for (int k = 1; k < static_cast<int>(s.labels.size()); k++)
        order.push_back(k);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return less_label(s.labels[a], s.labels[b]); });
    order.push_back(0);
    return order;
}

void close_classes(ClassSource *s) { close_grid_layer(&s->layer); }
