// Runs the built dendra-cli's `types` and checks it against the registry of this build.
#include "tests/common/node_types.h"
#include "tests/common/test_util.h"
#include "tree/registry.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

using testutil::RunCli;

// Parses the listing with the system's JSON reader, checks its shape and prints one line per
// type: name, id, family, branch count and number of parameters.
const char* const kCheckTypes = R"(import json, sys
d = json.load(sys.stdin)
assert list(d) == ["types"], list(d)
for t in d["types"]:
    assert set(t) == {"name", "id", "family", "branches", "params"}, t
    for p in t["params"]:
        assert set(p) <= {"name", "kind", "default", "min", "max", "choices"}, p
        k = p["kind"]
        if k in ("int", "uint", "float"):
            assert p["min"] <= p["default"] <= p["max"], p
            assert not isinstance(p["default"], bool), p
            if k != "float":
                assert all(isinstance(p[x], int) for x in ("min", "default", "max")), p
        elif k == "bool":
            assert isinstance(p["default"], bool) and "min" not in p and "max" not in p, p
        else:
            assert k == "text" and isinstance(p["default"], str) and "min" not in p, p
        assert all(isinstance(c, str) for c in p.get("choices", [])), p
        assert p.get("choices", None) != [], p
    print(t["name"], t["id"], t["family"], t["branches"], len(t["params"]))
)";

TEST(TypesCommand, JsonListsEveryOfferedTypeInOrder) {
    testutil::TempDir dir("dendra-types");
    const std::string script = dir.File("check.py");
    std::ofstream(script) << kCheckTypes;
    testutil::CliResult r = RunCli("types --json | /usr/bin/python3 " + script);
    ASSERT_EQ(r.status, 0) << r.out;

    NodeRegistry registry;
    registry.BuildBuiltins(true);
    std::string expected;
    for (const RegistryEntry& e : registry.Entries()) {
        const NodeTypeInfo& info = *FindNodeType(e.typeName)->info;
        expected += e.typeName + " " + std::to_string(info.typeId) + " " + e.family + " " +
                    std::to_string(info.branches) + " " + std::to_string(info.params.size()) + "\n";
    }
    EXPECT_EQ(r.out, expected);
    EXPECT_GE(registry.Entries().size(), 53u);
}

TEST(TypesCommand, JsonCarriesDefaultsRangesAndChoices) {
    testutil::CliResult r = RunCli("types --json");
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char* part :
         {R"({"name":"Loop","id":9,"family":"Basic","branches":1,"params":[{"name":"loopPoint",)"
          R"("kind":"uint","default":480,"min":1,"max":4294967295}]})",
          R"({"name":"scaleName","kind":"text","default":"None","max":48,"choices":["Aeolian",)",
          R"({"name":"sequential","kind":"bool","default":true},)",
          R"({"name":"factor","kind":"float","default":1,"min":0.01,"max":100},)",
          R"("choices":["Base 2","Base 10","Base E"])"}) {
        EXPECT_NE(r.out.find(part), std::string::npos) << part;
    }
}

TEST(TypesCommand, PlainListingAndUsage) {
    testutil::CliResult r = RunCli("types");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.rfind("And  (id 2, family Basic, 2 branches)\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("Scale  (id 212, family Midi, 1 branch)\n"), std::string::npos);
    EXPECT_NE(r.out.find("choices: A = 0, A# = 1, B = 2, C = 3,"), std::string::npos);
    EXPECT_NE(r.out.find("choices: Aeolian, Blues, Dorian,"), std::string::npos);
    EXPECT_EQ(r.out.find("Accrete"), std::string::npos) << "not offered";
    EXPECT_NE(r.out.find("\nSet  (id 503, family Set, 0 branches)\n"), std::string::npos);
    EXPECT_NE(r.out.find("\nSbFilter  (id 602, family Sound Blaster, 1 branch)\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("\nWaveFile  (id 713, family Wave, 0 branches)\n"), std::string::npos);

    EXPECT_EQ(RunCli("types --help").status, 0);
    r = RunCli("types --yaml");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("unknown argument: --yaml"), std::string::npos) << r.out;
}

} // namespace
