total = 0
i = 0
while i < 20000000 do
    total = (total * 7 + i) % 998244353
    i = i + 1
end
print(total)
