// The status page's style sheet, written into the page so that it needs no
// second request.
#pragma once

namespace q31::tool::forward {

inline const char* const kStatusPageStyle = R"css(
body { font: 14px/1.4 system-ui, sans-serif; margin: 24px; color: #1f2933; background: #f5f7fa; }
h1 { font-size: 20px; margin: 0 0 4px; }
h1 .gateway { color: #52606d; font-weight: normal; }
h2 { font-size: 16px; margin: 24px 0 8px; }
p.summary { margin: 0; color: #52606d; }
table { border-collapse: collapse; background: #fff; box-shadow: 0 1px 2px rgba(0,0,0,.08); }
th, td { padding: 6px 12px; text-align: left; vertical-align: middle; border-bottom: 1px solid #e4e7eb; }
th { font-weight: 600; font-size: 12px; color: #52606d; background: #f0f4f8; }
td.number { text-align: right; font-variant-numeric: tabular-nums; }
td.readings { white-space: nowrap; font-variant-numeric: tabular-nums; font-size: 13px; }
small { color: #7b8794; }
.state { display: inline-block; padding: 1px 8px; border-radius: 10px; font-size: 12px; font-weight: 600; }
.state.ok { background: #e3f9e5; color: #207227; }
.state.failing { background: #ffe3e3; color: #a61b1b; }
.state.unknown { background: #e4e7eb; color: #52606d; }
tr.failing td.failures { color: #a61b1b; font-weight: 600; }
svg.chart .bar { fill: #2680c2; }
svg.chart .axis { stroke: #cbd2d9; stroke-width: 1; }
svg.chart text { font-size: 10px; fill: #52606d; }
svg.chart text.none { fill: #9aa5b1; font-style: italic; }
footer { margin-top: 24px; color: #7b8794; font-size: 12px; }
)css";

}  // namespace q31::tool::forward
