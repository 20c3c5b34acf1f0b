// JSON-to-Lua conversion.
//
// Documents may nest as deep as the JSON library lets them, far deeper than a
// recursive converter could follow on a thread's C stack. The converter walks
// the document with an explicit stack of frames instead, and keeps the tables
// under construction on the Lua stack, which it grows as it descends.
#include "lpp-flowtable-lua.hpp"
#include "lpp-runtime.hpp"

namespace {

bool IsNil(const json &value)
{
    switch (value.type()) {
    case json::value_t::null:
    case json::value_t::binary:
    case json::value_t::discarded:
        return true;
    default:
        return false;
    }
}

// Pushes a value that is not a container.
void PushScalar(lua_State *L, const json &value)
{
    switch (value.type()) {
    case json::value_t::boolean:
        lua_pushboolean(L, *value.get_ptr<const json::boolean_t *>() ? 1 : 0);
        break;
    case json::value_t::number_integer:
        lua_pushinteger(L, static_cast<lua_Integer>(*value.get_ptr<const json::number_integer_t *>()));
        break;
    case json::value_t::number_unsigned:
        // The 64 bits read as signed: 2^63 and above come out negative.
        lua_pushinteger(L, static_cast<lua_Integer>(*value.get_ptr<const json::number_unsigned_t *>()));
        break;
    case json::value_t::number_float:
        lua_pushnumber(L, static_cast<lua_Number>(*value.get_ptr<const json::number_float_t *>()));
        break;
    case json::value_t::string: {
        const json::string_t &text = *value.get_ptr<const json::string_t *>();
        lua_pushlstring(L, text.data(), text.size());
        break;
    }
    default:
        lua_pushnil(L);
        break;
    }
}

void GrowStack(lua_State *L, int slots)
{
    if (!lua_checkstack(L, slots)) luaL_error(L, "JSON document nested too deeply for the Lua stack");
}

// Opens a table for container on top of the stack and a frame to fill it.
// Arrays stay unsized: the length operator on an array with holes depends on
// how the table grew, and it must match a table built element by element.
void OpenContainer(lua_State *L, const json &container, lppJsonFrames &frames)
{
    GrowStack(L, 3);
    if (container.is_array()) {
        lua_newtable(L);
        frames.push_back({&container, 0, {}});
    } else {
        const json::object_t &object = *container.get_ptr<const json::object_t *>();
        lua_createtable(L, 0, static_cast<int>(object.size() < 0x10000 ? object.size() : 0x10000));
        frames.push_back({&container, 0, object.begin()});
    }
}

// Ends the frame on top: its finished table, on top of the Lua stack, goes
// into the parent's table (arrays by the parent's index, objects by the key
// pushed under the child table).
void CloseContainer(lua_State *L, lppJsonFrames &frames, std::size_t bottom)
{
    frames.pop_back();
    if (frames.size() <= bottom) return;
    const lppJsonFrame &parent = frames.back();
    if (parent.node->is_array())
        lua_rawseti(L, -2, static_cast<lua_Integer>(parent.index));
    else
        lua_rawset(L, -3);
}

// Fills the table on top of the stack, which belongs to the frame already on
// frames, until that frame is done. Each table finished below it is stored in
// its parent: arrays by the parent's index, objects by the key pushed under
// the child table.
void Fill(lua_State *L, lppJsonFrames &frames, std::size_t bottom)
{
    while (frames.size() > bottom) {
        lppJsonFrame &frame = frames.back();
        const json *child = nullptr;
        if (frame.node->is_array()) {
            const json::array_t &array = *frame.node->get_ptr<const json::array_t *>();
            if (frame.index == array.size()) {
                CloseContainer(L, frames, bottom);
                continue;
            }
            child = &array[frame.index++];
            // A null leaves its index empty; the index advances all the same.
            if (IsNil(*child)) continue;
            if (child->is_structured()) {
                OpenContainer(L, *child, frames);
                continue;
            }
            PushScalar(L, *child);
            lua_rawseti(L, -2, static_cast<lua_Integer>(frame.index));
        } else {
            const json::object_t &object = *frame.node->get_ptr<const json::object_t *>();
            if (frame.member == object.end()) {
                CloseContainer(L, frames, bottom);
                continue;
            }
            const auto &member = *frame.member++;
            child = &member.second;
            if (IsNil(*child)) continue;
            GrowStack(L, 2);
            lua_pushlstring(L, member.first.data(), member.first.size());
            if (child->is_structured()) {
                OpenContainer(L, *child, frames);
                continue;
            }
            PushScalar(L, *child);
            lua_rawset(L, -3);
        }
    }
}

}  // namespace

void lppPushJsonValue(lua_State *L, const json &value, lppJsonFrames &frames)
{
    GrowStack(L, 1);
    if (!value.is_structured()) {
        PushScalar(L, value);
        return;
    }
    std::size_t bottom = frames.size();
    OpenContainer(L, value, frames);
    Fill(L, frames, bottom);
}

void lppStoreJsonMembers(lua_State *L, const json &doc, lppJsonFrames &frames)
{
    if (!doc.is_object()) return;
    std::size_t bottom = frames.size();
    frames.push_back({&doc, 0, doc.get_ptr<const json::object_t *>()->begin()});
    Fill(L, frames, bottom);
}

lppLuaRef CreateLuaValue(lua_State *L, const json &value)
{
    if (IsNil(value)) return lppLuaRef(L, LUA_REFNIL);

    lppJsonFrames frames;
    int ref = LUA_NOREF;
    lppStackGuard guard(L);
    // Built on the build thread, out of reach of the finalisers that the
    // building may run; nothing allocates between the move and the reference.
    lua_State *thread = lppPushBuildThread(L);
    lppProtectedCall(L, 0, 0, [&value, &frames, &ref, thread](lua_State *S) -> int {
        lppPushJsonValue(thread, value, frames);
        lua_xmove(thread, S, 1);
        ref = luaL_ref(S, LUA_REGISTRYINDEX);
        return 0;
    });
    return lppLuaRef(L, ref);
}
