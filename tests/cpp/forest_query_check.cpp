// Engine-level checks of the forest queries on hand-built trees: exact values
// of the walks, and the guards that stop a walk over a damaged state (the
// loader refuses such documents, so Python cannot build them). Prints "ok"
// and exits 0 on success.
#include <algorithm>
#include <cstdio>
#include <cmath>
#include <functional>
#include "rcf/forest/forest.hpp"
#include "rcf/tree/traversal.hpp"
#include "common/internal_failure.hpp"
using namespace arbolet; using namespace arbolet::rcf;
static int bad = 0;
#define EXPECT(c) do { if(!(c)) { std::printf("FAILED line %d: %s\n", __LINE__, #c); ++bad; } } while(0)
static bool near_(double a, double b) { return std::fabs(a-b) <= 1e-12*std::max(1.0,std::fabs(b)); }

// Hand-built arenas: nodes appended in order; set_bbox gives an internal node
// its box row.
static std::uint64_t add_node(NodeArena& a, Node n) { a.nodes.push_back(n); return a.nodes.size()-1; }
static void set_box(NodeArena& a, std::uint64_t s, std::vector<float> mn, std::vector<float> mx) {
  double r = 0; for (size_t i=0;i<mn.size();++i) r += (double)(mx[i]-mn[i]);
  a.set_bbox(s, BoundingBox{mn, mx, r});
}
static std::uint64_t put(PointStore& ps, std::vector<float> p) { return ps.add(p); }

static std::string fails(std::function<void()> f) { try { f(); } catch (InternalFailure& e) { return e.message(); } return ""; }

int main() {
  RcfConfig c; c.input_dim=2; c.shingle_size=1; c.num_trees=2; c.capacity=8;
  Forest f = std::move(Forest::build(c, 7).value());
  // empty forest
  std::vector<float> q0{0,0};
  EXPECT(f.score(q0).value()==0.0); EXPECT(f.density(q0).value()==0.0); EXPECT(f.displacement_score(q0).value()==0.0);
  EXPECT(f.attribution(q0).value().size()==2);
  EXPECT(f.near_neighbors(q0,10,50).value().empty());
  EXPECT(f.impute(q0, std::vector<std::uint64_t>{0}, 1.0).error().kind==EngineError::Kind::NotReady);
  EXPECT(f.score(std::vector<float>{1,2,3}).error().kind==EngineError::Kind::DimensionMismatch);

  std::uint64_t ra = put(f.point_store,{0,0}), rb = put(f.point_store,{1,1});
  // tree 0: root leaf at (1,1) with mass 3
  { RcfTree& t = f.trees[0]; t.root = add_node(t.arena, Node::Leaf(rb,3)); t.tree_mass=3; }
  // tree 1: two leaves split on dim 0 at 0.5
  { RcfTree& t = f.trees[1];
    auto la = add_node(t.arena, Node::Leaf(ra,1)); auto lb = add_node(t.arena, Node::Leaf(rb,1));
    t.root = add_node(t.arena, Node::Internal(la, lb, 0, 0.5f, 2)); set_box(t.arena, t.root, {0,0},{1,1}); t.tree_mass=2; }
  double L3 = std::log2(3.0), L4 = 2.0;
  // query (0,0): tree0 no match -> log2(4)=2; tree1 match at depth1 -> 0.75*0.5*log2 3
  EXPECT(near_(f.score(q0).value(), (2.0 + 0.75*0.5*L3)/2));
  // query (1,1): tree0 match -> 0.5; tree1 match leaf b -> same as above
  std::vector<float> q1{1,1};
  EXPECT(near_(f.score(q1).value(), (0.5 + 0.75*0.5*L3)/2));
  EXPECT(near_(f.density(q1).value(), (3.0 + 1.0)/2));
  EXPECT(near_(f.displacement_score(q1).value(), ((1-3.0/6)/(4.0*4.0) + 0.75/(2*3.0))/2));
  // query (3,0)
  std::vector<float> q3{3,0};
  EXPECT(near_(f.score(q3).value(), (L4 + 0.75*L3)/2));
  EXPECT(near_(f.density(q3).value(), (0.0 + 1.0)/2));
  EXPECT(near_(f.displacement_score(q3).value(), (3.0/4 + 0.5)/2));
  auto at = f.attribution(q3).value();
  EXPECT(near_(at[0].below, 0.5*L3/2) && at[0].above==0 && at[1].below==0 && at[1].above==0);
  auto nn = f.near_neighbors(q3,10,50).value();
  EXPECT(nn.size()==1 && nn[0].point==std::vector<float>({1,1}) && nn[0].distance==3.0 && near_(nn[0].score,(L4 + L3/2)/2));
  auto far = f.near_neighbors(std::vector<float>{100,0.2f},10,50).value();
  EXPECT(far.size()==2 && far[0].point==std::vector<float>({1,1}) && far[1].point==std::vector<float>({0,0}));
  EXPECT(f.near_neighbors(std::vector<float>{100,0},1,50).value().size()==1);
  EXPECT(f.near_neighbors(std::vector<float>{100,0},0,50).value().empty());
  // tie goes left: cut at 0.5, query 0.5 -> left leaf a
  EXPECT(near_(f.density(std::vector<float>{0.5f,0}).value(), 0.0)); // no exact match anywhere; p=0
  // NaN goes right and never matches; infinity -> NaN
  EXPECT(std::isnan(f.score(std::vector<float>{INFINITY,0}).value()));
  auto atinf = f.attribution(std::vector<float>{INFINITY,0}).value(); EXPECT(atinf[0].below==0 && atinf[0].above==0);
  double sn = f.score(std::vector<float>{NAN,1}).value(); EXPECT(near_(sn, (L4 + 1.0/2*L3)/2));
  // impute
  auto im = f.impute(std::vector<float>{9,1}, std::vector<std::uint64_t>{0}, 1.0).value();
  EXPECT(im[0]==1.0f && im[1]==1.0f);
  auto im2 = f.impute(std::vector<float>{0,9}, std::vector<std::uint64_t>{1}, 1.0).value();
  EXPECT(im2[1]==0.5f); // tree0 -> (1,1), tree1 -> leaf a (0,0): median of two = 0.5
  EXPECT(f.impute(std::vector<float>{}, std::vector<std::uint64_t>{}, 1.0).error().text=="missing list is empty");
  EXPECT(f.impute(q0, std::vector<std::uint64_t>{2}, 1.0).error().index==2);
  auto im0 = f.impute(std::vector<float>{0,0}, std::vector<std::uint64_t>{0}, 0.0).value(); EXPECT(im0[0]==1.0f);
  EXPECT(f.extrapolate(1).error().text=="extrapolation requires shingle_size > 1");
  // inconsistency guards
  { Forest g = f; RcfTree& t = g.trees[1]; t.arena.nodes[t.root].left = t.root;
    std::string m = fails([&]{ (void)g.score(q0); }); EXPECT(m.find("cycle")!=std::string::npos);
    m = fails([&]{ (void)g.impute(q0, std::vector<std::uint64_t>{0}, 1.0); }); EXPECT(m.find("cycle")!=std::string::npos);
    m = fails([&]{ (void)g.near_neighbors(std::vector<float>{100,0}, 5, 0); }); EXPECT(m.find("cycle")!=std::string::npos);
    m = fails([&]{ (void)g.attribution(q0); }); EXPECT(m.find("cycle")!=std::string::npos); }
  { Forest g = f; RcfTree& t = g.trees[1]; t.arena.nodes[0].kind = NodeKind::Vacant;
    EXPECT(fails([&]{ (void)g.score(q0); })=="accessed freed or uninitialized node"); }
  { Forest g = f; RcfTree& t = g.trees[1]; t.arena.nodes[t.root].set_cut_dim(7);
    EXPECT(fails([&]{ (void)g.score(q0); })=="assertion failed: index < dim"); }
  { Forest g = f; RcfTree& t = g.trees[1]; t.arena.nodes[t.root].right = 99;
    EXPECT(fails([&]{ (void)g.score(q3); })=="assertion failed: index < dim"); }
  { Forest g = f; RcfTree& t = g.trees[1]; t.arena.boxes.resize(1);
    EXPECT(fails([&]{ (void)g.score(q3); })=="assertion failed: index < dim"); }
  { Forest g = f; RcfTree& t = g.trees[0]; t.arena.nodes[0].set_point_idx(1000000);
    EXPECT(!fails([&]{ (void)g.score(q3); }).empty()); }
  // deep chain: 200000 internal nodes
  { Forest g = f; RcfTree& t = g.trees[1]; std::uint64_t child = 0;
    for (int i=0;i<200000;++i){ auto lf = add_node(t.arena, Node::Leaf(1,1)); auto s = add_node(t.arena, Node::Internal(child, lf, 0, 1e9f, 2)); set_box(t.arena,s,{0,0},{1,1}); child = s; }
    t.root = child; EXPECT(std::isfinite(g.score(q3).value())); EXPECT(g.impute(q0, std::vector<std::uint64_t>{1}, 1.0).ok());
    EXPECT(g.near_neighbors(std::vector<float>{100,0},3,0).value().size()==2);
}
  // A box that holds the query does not end the walk when it has a NaN bound:
  // below it every point is NaN in dimension 0, the root's box is not, and
  // the query lies 5 outside the root's box there.
  { RcfConfig c1; c1.input_dim=2; c1.shingle_size=1; c1.num_trees=1; c1.capacity=8;
    Forest g = std::move(Forest::build(c1, 7).value());
    RcfTree& t = g.trees[0];
    const float nan = NAN;
    auto a = add_node(t.arena, Node::Leaf(put(g.point_store,{nan,0}),1));
    auto b = add_node(t.arena, Node::Leaf(put(g.point_store,{nan,1}),1));
    auto c = add_node(t.arena, Node::Leaf(put(g.point_store,{5,2}),1));
    auto below = add_node(t.arena, Node::Internal(a, b, 1, 0.5f, 2)); set_box(t.arena, below, {nan,0},{nan,1});
    t.root = add_node(t.arena, Node::Internal(below, c, 1, 1.5f, 3)); set_box(t.arena, t.root, {5,0},{5,2}); t.tree_mass=3;
    // leaf 1/3 at depth 2; p = 0 below; p = 5/7 at the root: 2/7 * 1/3 + 5/7, times log2(4)
    EXPECT(near_(g.score(std::vector<float>{0,0.5f}).value(), 2.0*17.0/21.0)); }
  if (!bad) std::printf("ok\n");
  return bad != 0;
}
