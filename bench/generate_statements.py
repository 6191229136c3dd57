#!/usr/bin/env python3
"""Writes realistic 1CClientBankExchange statements of a chosen size, for benchmarks.

The shape follows real bank exports: a header, one account section per day, and the day's
payment orders, bank orders and payment requests with Cyrillic names, purposes of 50 to 200
characters and identifiers of the right lengths. A few optional keys are absent or empty, as in
real files; every document names its banks' cities (ПлательщикБанк2, ПолучательБанк2), about one
in nine carries the tax payment keys (ПоказательКБК, ОКАТО, ...), and some a code, a due date or
a payment purpose code, none of which is a field. The output is fixed by the seed, so figures
from different runs compare.

    python3 bench/generate_statements.py --size 100M --encoding cp1251 -o statement.txt
"""

from __future__ import annotations

import argparse
import datetime
import random
import sys

COMPANIES = [
    'ООО "Ромашка"', 'АО "Северный ветер"', 'ИП Иванов Сергей Петрович', 'ООО "ТехноСнаб"',
    'ПАО "Городские сети"', 'ООО "Альфа-Логистик"', 'АО "Уральский завод металлоконструкций"',
    'ООО "Торговый дом Волга"', 'ИП Смирнова Анна Викторовна', 'ООО "СтройИнвест Плюс"',
    'УФК по г. Москве (ИФНС России № 7 по г. Москве)', 'ООО "Кофейня на углу"',
    'АО "Байкальская энергетическая компания"', 'ООО "Медицинский центр Здоровье"',
]
BANKS = [
    ('ПАО СБЕРБАНК', 'г. Москва'), ('АО "АЛЬФА-БАНК"', 'г. Москва'),
    ('БАНК ВТБ (ПАО)', 'г. Санкт-Петербург'), ('АО "ТИНЬКОФФ БАНК"', 'г. Москва'),
    ('ФИЛИАЛ "ЕКАТЕРИНБУРГСКИЙ" АО "АЛЬФА-БАНК"', 'г. Екатеринбург'),
]
PURPOSES = [
    'Оплата по счету № {n} от {d} за поставку товара', 'Оплата по договору № {n}/{y} от {d}',
    'Возврат излишне перечисленных денежных средств по счету № {n}',
    'Арендная плата за {m} {y} г. по договору аренды нежилого помещения № {n}',
    'Заработная плата за {m} {y} г. согласно реестру № {n}',
    'Налог на доходы физических лиц за {m} {y} г.',
    'Оплата услуг связи по счету № {n} от {d}', 'Комиссия за ведение счета за {m} {y} г.',
]
TAILS = [
    ' В т.ч. НДС 20% - {vat} руб.', ' НДС не облагается', ' Сумма {amount} без налога (НДС)',
]
MONTHS = ['январь', 'февраль', 'март', 'апрель', 'май', 'июнь', 'июль', 'август', 'сентябрь',
          'октябрь', 'ноябрь', 'декабрь']
KINDS = ['Платежное поручение'] * 8 + ['Банковский ордер', 'Платежное требование']


def digits(rng: random.Random, n: int) -> str:
    return ''.join(rng.choice('0123456789') for _ in range(n))


def party(rng: random.Random) -> dict[str, str]:
    bank, city = rng.choice(BANKS)
    name = rng.choice(COMPANIES)
    individual = name.startswith('ИП')
    return {
        'name': name,
        'inn': digits(rng, 12 if individual else 10),
        'kpp': '' if individual else digits(rng, 9),
        'account': ('40802' if individual else '40702') + '810' + digits(rng, 12),
        'bank': bank,
        'city': city,
        'bic': '04' + digits(rng, 7),
        'cor': '30101810' + digits(rng, 12),
    }


def money(rng: random.Random) -> tuple[int, str]:
    kopecks = rng.choice([rng.randint(100, 99_999), rng.randint(100_000, 99_999_999),
                          rng.randint(100_000_000, 9_999_999_999)])
    return kopecks, f'{kopecks // 100}.{kopecks % 100:02d}'


def purpose(rng: random.Random, day: datetime.date) -> str:
    kopecks, amount = money(rng)
    text = rng.choice(PURPOSES).format(
        n=rng.randint(1, 99999), d=day.strftime('%d.%m.%Y'), y=day.year,
        m=MONTHS[day.month - 1])
    text += rng.choice(TAILS).format(vat=f'{kopecks // 600}.{kopecks // 6 % 100:02d}',
                                     amount=amount)
    while len(text) < 50:
        text += ' ' + rng.choice(PURPOSES).format(n=rng.randint(1, 999), d='', y='', m='')
    return text[:200]


def tax_keys(rng: random.Random, day: datetime.date) -> list[str]:
    """The keys a tax or customs payment carries besides the fields, with the values banks
    write: codes and dates, or 0 where a key does not apply."""
    period = rng.choice([f'МС.{day.month:02d}.{day.year}', f'КВ.0{(day.month + 2) // 3}.{day.year}',
                         f'ГД.00.{day.year}', '0'])
    return [f'СтатусСоставителя={rng.choice(["01", "02", "08", "13"])}',
            f'ПоказательКБК={rng.choice(["18210102010011000110", "18210301000011000110", "0"])}',
            f'ОКАТО={rng.choice(["45383000", "60737000", "25736000", digits(rng, 11)])}',
            f'ПоказательОснования={rng.choice(["ТП", "ЗД", "0"])}',
            f'ПоказательПериода={period}',
            f'ПоказательНомера={rng.choice(["0", digits(rng, 6)])}',
            f'ПоказательДаты={rng.choice(["0", day.strftime("%d.%m.%Y")])}',
            f'ПоказательТипа={rng.choice(["", "0"])}']


def document(rng: random.Random, day: datetime.date, number: int, holder: dict[str, str]) -> str:
    payer, payee = party(rng), party(rng)
    if rng.random() < 0.5:
        payer = holder
    else:
        payee = holder
    _, amount = money(rng)
    date = day.strftime('%d.%m.%Y')
    lines = [
        f'СекцияДокумент={rng.choice(KINDS)}',
        f'Номер={number}',
        f'Дата={date}',
        f'Сумма={amount}',
        f'ПлательщикСчет={payer["account"]}',
        f'ДатаСписано={date if payer is holder else ""}',
        f'Плательщик=ИНН {payer["inn"]} {payer["name"]}',
        f'ПлательщикИНН={payer["inn"]}',
        f'Плательщик1={payer["name"]}',
        f'ПлательщикРасчСчет={payer["account"]}',
        f'ПлательщикБанк1={payer["bank"]}',
        f'ПлательщикБанк2={payer["city"]}',
        f'ПлательщикБИК={payer["bic"]}',
        f'ПлательщикКорсчет={payer["cor"]}',
        f'ПолучательСчет={payee["account"]}',
        f'ДатаПоступило={date if payee is holder else ""}',
        f'Получатель=ИНН {payee["inn"]} {payee["name"]}',
        f'ПолучательИНН={payee["inn"]}',
        f'Получатель1={payee["name"]}',
        f'ПолучательРасчСчет={payee["account"]}',
        f'ПолучательБанк1={payee["bank"]}',
        f'ПолучательБанк2={payee["city"]}',
        f'ПолучательБИК={payee["bic"]}',
        f'ПолучательКорсчет={payee["cor"]}',
        'ВидОплаты=01',
        f'Очередность={rng.choice("5555553")}',
        f'НазначениеПлатежа={purpose(rng, day)}',
    ]
    if payer['kpp'] and rng.random() < 0.9:
        lines.append(f'ПлательщикКПП={payer["kpp"]}')
    if payee['kpp']:
        lines.append(f'ПолучательКПП={payee["kpp"]}')
    if rng.random() < 0.11:
        lines += tax_keys(rng, day)
    if rng.random() < 0.45:
        lines.append(f'Код={rng.choice(["0", "", digits(rng, 20)])}')
    if rng.random() < 0.4:
        due = day + datetime.timedelta(days=rng.randint(0, 30))
        lines.append(f'СрокПлатежа={rng.choice([due.strftime("%d.%m.%Y"), ""])}')
    if rng.random() < 0.25:
        lines.append(f'КодНазПлатежа={rng.choice(["", "", "1", "2", "5"])}')
    lines.append('КонецДокумента')
    return '\r\n'.join(lines) + '\r\n'


def generate(size: int, seed: int, encoding: str) -> str:
    rng = random.Random(seed)
    holder = party(rng)
    day = datetime.date(2024, 1, 9)
    header = '\r\n'.join([
        '1CClientBankExchange', 'ВерсияФормата=1.03',
        f'Кодировка={"Windows" if encoding == "cp1251" else "UTF-8"}',
        'Отправитель=Бухгалтерия предприятия, редакция 3.0', 'Получатель=',
        f'ДатаСоздания={day.strftime("%d.%m.%Y")}', 'ВремяСоздания=10:15:00',
        f'ДатаНачала={day.strftime("%d.%m.%Y")}', f'ДатаКонца={day.strftime("%d.%m.%Y")}',
        f'РасчСчет={holder["account"]}', 'Документ=Платежное поручение',
    ]) + '\r\n'
    parts = [header]
    total = len(header.encode(encoding))
    balance = rng.randint(10_000_00, 10_000_000_00)
    number = 1
    while total < size:
        date = day.strftime('%d.%m.%Y')
        income, expense = rng.randint(0, 5_000_000_00), rng.randint(0, 5_000_000_00)
        end = balance + income - expense
        section = '\r\n'.join([
            'СекцияРасчСчет', f'ДатаНачала={date}', f'ДатаКонца={date}',
            f'РасчСчет={holder["account"]}',
            f'НачальныйОстаток={balance // 100}.{balance % 100:02d}',
            f'ВсегоПоступило={income // 100}.{income % 100:02d}',
            f'ВсегоСписано={expense // 100}.{expense % 100:02d}',
            f'КонечныйОстаток={end // 100}.{end % 100:02d}', 'КонецРасчСчет']) + '\r\n'
        parts.append(section)
        total += len(section.encode(encoding))
        for _ in range(rng.randint(5, 40)):
            text = document(rng, day, number, holder)
            number += 1
            parts.append(text)
            total += len(text.encode(encoding))
            if total >= size:
                break
        balance = end
        day += datetime.timedelta(days=1)
    parts.append('КонецФайла\r\n')
    return ''.join(parts)


def parse_size(text: str) -> int:
    units = {'K': 1 << 10, 'M': 1 << 20, 'G': 1 << 30}
    if text[-1:].upper() in units:
        return int(float(text[:-1]) * units[text[-1].upper()])
    return int(text)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--size', default='1M', help='approximate size: bytes, or 10K, 100M, 1G')
    parser.add_argument('--encoding', choices=['cp1251', 'utf-8'], default='cp1251')
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('-o', '--output', help='file to write (default: standard output)')
    args = parser.parse_args()
    data = generate(parse_size(args.size), args.seed, args.encoding).encode(args.encoding)
    if args.output:
        with open(args.output, 'wb') as out:
            out.write(data)
    else:
        sys.stdout.buffer.write(data)


if __name__ == '__main__':
    main()
