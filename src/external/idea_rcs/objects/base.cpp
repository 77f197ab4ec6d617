// The three roots of the model: objects without an id, objects with an id, and references by id.
#include "external/idea_rcs/objects/classes.hpp"

namespace objects {

const ModelClass open_object{
    .name = "_OpenObject",
    .bases = {"ABC"},
    .doc = " Abstract base class of all IDEA OpenModel objects. ",
    .init = Init{.returns = "None", .abstract = true},
    .serialize = Serialize{.abstract = true},
};

const ModelClass open_element_id{
    .name = "_OpenElementId",
    .bases = {"ABC"},
    .init = Init{.args = {arg("id_", "int")}, .stores = {{"_id", "id_"}}},
    .serialize = Serialize{.keys = {{"id", "_id"}}},
    .properties = {{"id", "_id", "int"}},
};

const ModelClass reference_element{
    .name = "_ReferenceElement",
    .init = Init{.args = {arg("id_", "int"), arg("type_name", "str")},
                 .stores = {{"_id", "id_"}, {"_type_name", "type_name"}}},
    .serialize = Serialize{.keys = {{"type_name", "_type_name"}, {"id", "_id"}}},
    .properties = {{"id", "_id", "int"}},
};

}  // namespace objects
