#!/usr/bin/env python3
"""Draws the benchmark charts and writes the benchmark page's tables, both from one results file.

    python bench/charts.py [bench/results.json] [--charts docs/charts] [--page docs/benchmarks.md]

report.py writes the results file. The charts are SVG files (matplotlib); the tables replace
what stands between `<!-- results: NAME -->` and `<!-- /results -->` in the page, so the
figures in the text and in the pictures come from the same run. `--page ''` leaves the page.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import re
from typing import Any

import matplotlib

matplotlib.use('svg')
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
ENCODINGS = ('cp1251', 'utf-8')
OURS, ANCHOR, PEER = '#c0392b', '#7f8c8d', '#2c3e50'

# Same input, same picture: no date in the file and ids that do not change from run to run.
plt.rcParams['svg.hashsalt'] = 'corvina'
plt.rcParams['svg.fonttype'] = 'none'


def save(figure: Any, path: pathlib.Path) -> None:
    figure.tight_layout()
    partial = path.with_name(path.name + '.partial')
    figure.savefig(partial, format='svg', metadata={'Date': None})
    plt.close(figure)
    partial.replace(path)


def count(value: float, _position: object = None) -> str:
    """1000 as 1k and 1000000 as 1M, for an axis of counts."""
    for limit, suffix in ((1e9, 'G'), (1e6, 'M'), (1e3, 'k')):
        if value >= limit:
            return f'{value / limit:g}{suffix}'
    return f'{value:g}'


def throughput_chart(results: dict[str, Any], path: pathlib.Path,
                     encodings: tuple[str, ...] = ENCODINGS) -> None:
    """Documents per second of every body, ours in colour, on a logarithmic axis."""
    figure, axes = plt.subplots(len(encodings), 1, figsize=(6.4, 2.8 * len(encodings)),
                                squeeze=False)
    for ax, encoding in zip(axes[:, 0], encodings):
        block = results['throughput'][encoding]
        rows = sorted(block['rows'], key=lambda row: row['documents_per_s'])
        ax.barh([row['name'] for row in rows], [row['documents_per_s'] for row in rows],
                color=[OURS if row['ours'] else ANCHOR for row in rows])
        ax.set_xscale('log')
        ax.xaxis.set_major_locator(LogLocator(base=10))
        ax.xaxis.set_major_formatter(FuncFormatter(count))
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.set_xlabel('documents per second (log scale)')
        ax.set_title(f'{encoding}, {block["input_mb"]:.0f} MB, {block["documents"]:,} documents',
                     fontsize=10)
    save(figure, path)


def pair_chart(results: dict[str, Any], key: str, path: pathlib.Path, title: str) -> None:
    """MB/s of the rows of one benchmark, grouped by encoding."""
    figure, ax = plt.subplots(figsize=(6, 3.2))
    names = [row['name'] for row in results[key][ENCODINGS[0]]['rows']]
    width = 0.8 / len(names)
    for i, name in enumerate(names):
        speeds = [next(row['mb_per_s'] for row in results[key][encoding]['rows']
                       if row['name'] == name) for encoding in ENCODINGS]
        ax.bar([x + i * width for x in range(len(ENCODINGS))], speeds, width, label=name,
               color=PEER if name == 'client-bank-1c' else ANCHOR if i == 0 else OURS)
    ax.set_xticks([x + width * (len(names) - 1) / 2 for x in range(len(ENCODINGS))], ENCODINGS)
    ax.set_ylabel('MB of statement per second')
    ax.set_title(title, fontsize=10)
    ax.legend(fontsize=8)
    save(figure, path)


def memory_chart(results: dict[str, Any], path: pathlib.Path) -> None:
    figure, ax = plt.subplots(figsize=(6, 3.2))
    for encoding, style in zip(ENCODINGS, ('-', '--')):
        rows = [row for row in results['memory'] if row['encoding'] == encoding]
        sizes = [row['input_mb'] for row in rows]
        ax.plot(sizes, [row['peak_x'] for row in rows], style, marker='o', color=OURS,
                label=f'peak while parsing, {encoding}')
        ax.plot(sizes, [row['retained_x'] for row in rows], style, marker='s', color=ANCHOR,
                label=f'kept by the Statement, {encoding}')
    ax.set_xscale('log')
    ax.set_xlabel('input size, MB (log scale)')
    ax.set_ylabel('multiple of the input size')
    ax.set_ylim(bottom=0)
    ax.legend(fontsize=8)
    save(figure, path)


def speed(value: float) -> str:
    return f'{value:,.0f}' if value >= 100 else f'{value:.1f}'


def ratio(rows: list[dict[str, Any]], name: str, base: str) -> float:
    seconds = {row['name']: row['seconds'] for row in rows}
    return seconds[name] / seconds[base]


def tables(results: dict[str, Any]) -> dict[str, str]:
    """The page's tables in Markdown, by marker name."""
    out = {}
    lines = ['| | ' + ' | '.join(f'{e} documents/s' for e in ENCODINGS) + ' | ' +
             ' | '.join(f'{e} MB/s of its input' for e in ENCODINGS) + ' |',
             '|---|' + '---:|' * (2 * len(ENCODINGS))]
    names = [row['name'] for row in results['throughput'][ENCODINGS[0]]['rows']]
    for name in names:
        rows = [next((row for row in results['throughput'][e]['rows'] if row['name'] == name),
                     None) for e in ENCODINGS]
        cells = [speed(row['documents_per_s']) if row else '' for row in rows]
        cells += [speed(row['mb_per_s']) if row else '' for row in rows]
        label = f'**{name}**' if rows[0] and rows[0]['ours'] else name
        lines.append(f'| {label} | ' + ' | '.join(cells) + ' |')
    if not results['throughput'][ENCODINGS[0]]['reference_installed']:
        lines.append('')
        lines.append('(client-bank-1c was not installed in the environment of this run.)')
    out['throughput'] = '\n'.join(lines)
    for key in ('threads', 'writing', 'records', 'checking'):
        lines = ['| | ' + ' | '.join(f'{e} MB/s' for e in ENCODINGS) + ' |',
                 '|---|' + '---:|' * len(ENCODINGS)]
        for name in [row['name'] for row in results[key][ENCODINGS[0]]['rows']]:
            cells = [speed(next(row['mb_per_s'] for row in results[key][e]['rows']
                                if row['name'] == name)) for e in ENCODINGS]
            lines.append(f'| {name} | ' + ' | '.join(cells) + ' |')
        if key == 'threads':
            lines.append('| speed-up (median of the rounds\' ratios) | ' + ' | '.join(
                f'{results[key][e]["speed_up"]:.2f}x' for e in ENCODINGS) + ' |')
        else:
            first = results[key][ENCODINGS[0]]['rows'][0]['name']
            for row in results[key][ENCODINGS[0]]['rows'][1:]:
                lines.append(f'| {row["name"]}, time over {first} | ' + ' | '.join(
                    f'{ratio(results[key][e]["rows"], row["name"], first):.2f}x'
                    for e in ENCODINGS) + ' |')
        out[key] = '\n'.join(lines)
    lines = ['| input | encoding | peak while parsing | kept by the Statement |',
             '|---:|---|---:|---:|']
    for row in results['memory']:
        lines.append(f'| {row["input_mb"]:.3g} MB | {row["encoding"]} | {row["peak_x"]:.2f}x '
                     f'| {row["retained_x"]:.2f}x |')
    out['memory'] = '\n'.join(lines)
    m = results['machine']
    memory = f', {m["memory_bytes"] / 2**30:.0f} GiB' if m.get('memory_bytes') else ''
    out['machine'] = (f'{m["cpu"]}, {m["cores"]} cores{memory}, {m["system"]}, CPython '
                      f'{m["python"]}, corvina_py {m["corvina_py"]}; measured {results["date"]}, '
                      f'statements of {results["size"]}, medians of {results["throughput"]["cp1251"]["runs"]} '
                      f'runs.')
    return out


def write_page(page: pathlib.Path, blocks: dict[str, str]) -> None:
    text = page.read_text(encoding='utf-8')
    for name, block in blocks.items():
        pattern = re.compile(rf'(<!-- results: {name} -->\n).*?(<!-- /results -->)', re.S)
        text, found = pattern.subn(lambda m: m.group(1) + block + '\n' + m.group(2), text)
        if not found:
            raise SystemExit(f'{page}: no "<!-- results: {name} -->" marker')
    partial = page.with_name(page.name + '.partial')
    partial.write_text(text, encoding='utf-8')
    partial.replace(page)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('results', nargs='?', default=str(HERE / 'results.json'))
    parser.add_argument('--charts', default=str(ROOT / 'docs' / 'charts'))
    parser.add_argument('--page', default=str(ROOT / 'docs' / 'benchmarks.md'))
    args = parser.parse_args()
    results = json.loads(pathlib.Path(args.results).read_text(encoding='utf-8'))
    charts = pathlib.Path(args.charts)
    charts.mkdir(parents=True, exist_ok=True)
    throughput_chart(results, charts / 'throughput.svg')
    throughput_chart(results, charts / 'headline.svg', encodings=('cp1251',))
    pair_chart(results, 'threads', charts / 'threads.svg',
               'One statement: one thread against the default threads')
    pair_chart(results, 'writing', charts / 'writing.svg', 'Writing back against parsing')
    pair_chart(results, 'records', charts / 'records.svg', 'Typed records against parsing')
    pair_chart(results, 'checking', charts / 'checking.svg', 'Checking against parsing')
    memory_chart(results, charts / 'memory.svg')
    if args.page:
        write_page(pathlib.Path(args.page), tables(results))
    print(f'charts in {charts}' + (f', tables in {args.page}' if args.page else ''))


if __name__ == '__main__':
    main()
